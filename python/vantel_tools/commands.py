"""Which function runs each `vantel` command; each command lives in a module of its own."""

from __future__ import annotations

from .run_outputs import write_json  # noqa: F401 - the simulator writes its truth with it


def run(args) -> int:
    if args.command == "simulate":
        from . import simulate

        return simulate.run(args)
    if args.command == "intrinsic":
        from .intrinsic_command import intrinsic

        return intrinsic(args)
    if args.command == "hand-eye":
        from .hand_eye_command import hand_eye

        return hand_eye(args)
    from .rig_command import rig

    return rig(args)
