"""The JSON API: the same operations as the page, for scripts.

``GET /api/supplies``, ``POST /api/supplies/{id}/settings``, ``POST /api/off``,
``GET /api/supplies/{id}/log.csv``, and the ramp (``POST``/``DELETE /api/supplies/{id}/ramp``).
Reads are open; every change first passes :meth:`Policy.decide` (403 with the reason, before
its body is read: :class:`.middleware.RequestGuard`), then the body's types (422: numbers
must be finite, keys known), then the library's limits (422), and only then becomes a job
for the supply's worker (503 when too many wait). Switching off is never refused: 200 when
confirmed, 503 with the library's ``OUTPUT MAY STILL BE ON`` message when not. A command the
supply did not answer is 503; a read-back that differs from the request is 502. Every
refusal is logged.
"""

from __future__ import annotations

import logging
import os
from typing import Annotated, Any, Literal

from fastapi import Depends, FastAPI, HTTPException, Request
from fastapi.exceptions import RequestValidationError
from fastapi.responses import JSONResponse, StreamingResponse
from pydantic import BaseModel, ConfigDict, Field

from .access import Policy
from .hub import Failed, Hub, Refused, http_status

log = logging.getLogger("zq4180_panel.access")

Number = Annotated[float, Field(strict=True, allow_inf_nan=False)]


class Settings(BaseModel):
    model_config = ConfigDict(extra="forbid")
    voltage: Number | None = None
    current: Number | None = None
    ceiling: Number | None = None
    output: Literal["on", "off"] | None = None
    mode: Literal["remote", "local"] | None = None


class RampRequest(BaseModel):
    model_config = ConfigDict(extra="forbid")
    to: Number
    rate: Number


def _client(request: Request) -> str | None:
    return request.client.host if request.client else None


def validation_reason(exc: RequestValidationError) -> str:
    """pydantic's complaints as one line, without the values sent (NaN or Infinity are no JSON)."""
    parts = []
    for error in exc.errors():
        where = ".".join(str(p) for p in error.get("loc", ()) if p != "body")
        parts.append(f"{where}: {error.get('msg', 'invalid')}" if where else str(error.get("msg", "invalid")))
    return "; ".join(parts) or "the request body is not valid"


def install(app: FastAPI, hub: Hub, policy: Policy) -> None:
    """Add the API's routes to ``app`` (before NiceGUI's pages are mounted behind it)."""

    @app.exception_handler(RequestValidationError)
    async def invalid_body(request: Request, exc: RequestValidationError) -> JSONResponse:
        reason = validation_reason(exc)
        log.warning("refused %s %s from %s: %s", request.method, request.url.path, _client(request), reason)
        return JSONResponse({"detail": reason}, status_code=422)

    def may_change(request: Request) -> None:
        verdict = policy.decide_headers(request.headers, _client(request))
        if not verdict.allowed:
            log.warning("refused %s %s from %s: %s", request.method, request.url.path, _client(request),
                        verdict.reason)
            raise HTTPException(status_code=403, detail=verdict.reason)

    def refusal(request: Request, exc: Refused) -> JSONResponse:
        log.warning("refused %s %s from %s: %s", request.method, request.url.path, _client(request), exc.reason)
        return JSONResponse({"detail": exc.reason}, status_code=exc.status)

    @app.get("/api/supplies")
    def list_supplies() -> list[dict[str, Any]]:
        return [station.summary() for station in hub]

    @app.get("/api/supplies/{sid}")
    def one_supply(sid: str) -> dict[str, Any]:
        try:
            return hub.get(sid).summary()
        except Refused as exc:
            raise HTTPException(exc.status, exc.reason) from None

    @app.post("/api/supplies/{sid}/settings", dependencies=[Depends(may_change)])
    async def settings(sid: str, body: Settings, request: Request):
        try:
            result = await hub.apply(sid, **body.model_dump())
        except Refused as exc:
            return refusal(request, exc)
        except Failed as exc:
            return JSONResponse({"detail": str(exc)}, status_code=exc.status)
        return JSONResponse(result, status_code=http_status(result))

    @app.post("/api/off", dependencies=[Depends(may_change)])
    async def all_off(request: Request):
        result = await hub.all_off()
        return JSONResponse(result, status_code=200 if result["confirmed"] else 503)

    @app.post("/api/supplies/{sid}/ramp", dependencies=[Depends(may_change)])
    async def start_ramp(sid: str, body: RampRequest, request: Request):
        try:
            state = hub.start_ramp(sid, body.to, body.rate)
        except Refused as exc:
            return refusal(request, exc)
        return JSONResponse({"id": sid, "ramp": {"to": state.target, "rate": state.rate}}, status_code=202)

    @app.delete("/api/supplies/{sid}/ramp", dependencies=[Depends(may_change)])
    async def stop_ramp(sid: str, request: Request):
        try:
            stopped = hub.stop_ramp(sid)
        except Refused as exc:
            return refusal(request, exc)
        return {"id": sid, "stopped": stopped}

    @app.get("/api/supplies/{sid}/log.csv")
    def log_csv(sid: str):
        try:
            station = hub.get(sid)
        except Refused as exc:
            raise HTTPException(exc.status, exc.reason) from None
        return StreamingResponse(_complete_rows(station.log_path), media_type="text/csv; charset=utf-8",
                                 headers={"Content-Disposition": f'attachment; filename="{sid}.csv"'})


def _complete_rows(path, chunk: int = 1 << 16):
    """The file as it is now, up to its last complete row (a row being written is left out)."""
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        left = size
        tail = b""
        while left > 0:
            data = f.read(min(chunk, left))
            if not data:
                break
            left -= len(data)
            data = tail + data
            cut = data.rfind(b"\n") + 1
            tail = data[cut:]
            if cut:
                yield data[:cut]
