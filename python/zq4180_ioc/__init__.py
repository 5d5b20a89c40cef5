"""``zq4180-ioc``: zq4100-series supplies served as an EPICS IOC (Channel Access and pvAccess).

Every put goes through the bench library (limits, safe order, the late-reply
guard, the confirmed off); one library worker owns each port.
"""
