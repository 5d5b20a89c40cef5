"""``zq4180 list``: serial ports, and with ``--probe`` who answers at them."""

from __future__ import annotations

from .context import Context
from .parser import EXIT_FAULT, EXIT_OK


def run(ctx: Context, args) -> int:
    from ..ports import PortInfo, list_ports, probe
    ports = list_ports()
    for sim_port in ctx.sim_ports:
        ports.append(PortInfo(sim_port, "virtual supply (--sim)", ""))
    if args.probe is None:
        if not ports:
            ctx.note("no serial ports found")
            return EXIT_OK
        width = max(len("PORT"), *(len(p.device) for p in ports))
        ctx.out(f"{'PORT':{width}s}  {'USB ID':9s}  DESCRIPTION")
        for p in ports:
            ctx.out(f"{p.device:{width}s}  {p.usb_id or '-':9s}  {p.description or '-'}")
        return EXIT_OK
    from ..config import load_config
    from ..supply import resolve_target
    config = load_config(args.config)
    named = [ctx.sim_ports[int(n) - 1] if ctx.sim_ports and n.isdigit() and 1 <= int(n) <= len(ctx.sim_ports)
             else resolve_target(n, config)[0] for n in args.probe]
    targets = named or [p.device for p in ports if p.usb or p.device in ctx.sim_ports]
    if not targets:
        ctx.note("no USB-serial adapters to probe (name the ports to probe others)")
        return EXIT_OK
    status = EXIT_OK
    width = max(len("PORT"), *(len(t) for t in targets))
    ctx.out(f"{'PORT':{width}s}  FOUND")
    for port in targets:
        result = probe(port)
        ctx.out(f"{port:{width}s}  {result.text()}")
        if result.identity is None and named:
            status = EXIT_FAULT
    return status
