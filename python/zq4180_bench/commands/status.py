"""``zq4180 status``: identity and one read-out."""

from __future__ import annotations

import json

from .context import Context, identity_line
from .parser import EXIT_FAULT, EXIT_OK


def run(ctx: Context, args) -> int:
    from ..readings import status_lines
    with ctx.supply() as supply:
        reading = supply.read()
        if args.json:
            record = reading.as_dict()
            record["identity"] = supply.identity
            ctx.out(json.dumps(record))
        else:
            ctx.out(identity_line(supply))
            for line in status_lines(reading):
                ctx.out(line)
    if not reading.ok:
        ctx.error(f"{supply.port}: {'the supply did not answer' if reading.status == 'no_reply' else supply.problem}")
        return EXIT_FAULT
    return EXIT_OK
