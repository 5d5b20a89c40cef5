"""Launchers for the zq4180 driver's command-line entry points."""
