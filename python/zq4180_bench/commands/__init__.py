"""The ``zq4180`` command, one module per command.

:mod:`.parser` builds the command line (and nothing else, so ``--help`` stays
fast); :mod:`.main` runs a command and turns what ended it into an exit
status; :mod:`.context` is what every command gets (output, messages, the
supply with its safe end); each command's module has ``run(ctx, args)``.
"""

#: the module of each command
MODULES = {"list": "listing", "status": "status", "set": "setting", "watch": "watch", "log": "log",
           "ramp": "ramp", "sweep": "sweep", "run": "run"}
