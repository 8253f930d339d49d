"""The `vantel` command: calibrate from folders on disk, or simulate scenes to try it on."""

from __future__ import annotations

import argparse
import pathlib
import sys

from .arguments import CommandError
from .camera_models import add_model_arguments


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="vantel", description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    intrinsic = commands.add_parser("intrinsic", help="calibrate one camera from a folder of images",
                                    description="Intrinsic calibration of every image in FOLDER, in name order.")
    intrinsic.add_argument("folder", type=pathlib.Path)
    intrinsic.add_argument("--target", required=True, help="e.g. chessboard:9x6:0.025")
    intrinsic.add_argument("--threshold", type=float, default=1.0, help="per-view error threshold, px (default 1)")
    intrinsic.add_argument("--drop-flagged", action="store_true",
                           help="calibrate again without the views above the threshold and report both")
    intrinsic.add_argument("-o", "--output", type=pathlib.Path, help="results folder (default: vantel-intrinsic)")
    add_model_arguments(intrinsic)

    hand_eye = commands.add_parser("hand-eye", help="hand-eye calibration of a dataset folder",
                                   description="Hand-eye calibration of a dataset folder (calibration_data.npz and "
                                               "image_NN.png), or of a folder of images with a pose file: the camera "
                                               "on the flange (tcp_T_camera), or fixed in the cell with --stationary "
                                               "(robot_T_camera).")
    hand_eye.add_argument("dataset", type=pathlib.Path)
    hand_eye.add_argument("--target", required=True, help="e.g. charuco:10x8:0.03:0.022:DICT_4X4_50")
    which = hand_eye.add_mutually_exclusive_group()
    which.add_argument("--method", default="TSAI", help="TSAI (default), PARK, HORAUD, ANDREFF or DANIILIDIS")
    which.add_argument("--compare", action="store_true", help="run every method and print their agreement")
    hand_eye.add_argument("--poses", type=pathlib.Path, metavar="FILE",
                          help="robot flange poses (robot_T_tcp) as CSV or JSON; DATASET is then the image folder")
    hand_eye.add_argument("--pose-units", choices=["m", "mm"], default="m",
                          help="unit of the translations in --poses (default m)")
    hand_eye.add_argument("--stationary", action="store_true",
                          help="eye-to-hand: the camera is fixed in the cell and the target rides on the flange")
    hand_eye.add_argument("--accept-poses", action="store_true",
                          help="keep the result even when the poses look inverted or in millimetres (else exit 3)")
    hand_eye.add_argument("-o", "--output", type=pathlib.Path, help="results folder (default: vantel-hand-eye)")
    add_model_arguments(hand_eye)

    rig = commands.add_parser("rig", help="multi-camera calibration of a capture folder",
                              description="Multi-camera calibration of a capture folder: one folder cam_* per "
                                          "camera; the images of one capture share the number in their names "
                                          "(left01.jpg with right01.jpg).")
    rig.add_argument("dataset", type=pathlib.Path)
    rig.add_argument("--target", required=True, help="e.g. charuco:9x7:0.03:0.022:DICT_4X4_50")
    rig.add_argument("--reference", type=int, default=0, help="index of the reference camera (default 0)")
    rig.add_argument("--subsets", help="also calibrate every camera subset of these sizes, e.g. 2,3")
    rig.add_argument("--refine", action="store_true",
                     help="refine every camera, every frame and the board poses jointly after the pairwise step")
    rig.add_argument("--intrinsics", type=pathlib.Path, metavar="DIR",
                     help="calibrate each camera first from its own images in DIR/cam_00, DIR/cam_01, ... (the "
                          "rig's camera folder names) and hold those intrinsics in the rig")
    rig.add_argument("-o", "--output", type=pathlib.Path, help="results folder (default: vantel-rig)")
    add_model_arguments(rig)

    simulate = commands.add_parser("simulate", help="render a scene with known truth into a dataset folder",
                                   description="Render what known cameras see into the folder formats the other "
                                               "commands read, with the truth in truth.json beside it.")
    simulate.add_argument("kind", choices=["intrinsic", "hand-eye", "rig"])
    simulate.add_argument("output", type=pathlib.Path)
    simulate.add_argument("--views", type=int, default=None, help="images (or captures) to render")
    simulate.add_argument("--noise", type=float, default=0.2, help="corner position noise, px (default 0.2)")
    simulate.add_argument("--seed", type=int, default=0)
    simulate.add_argument("--intrinsic-views", type=int, default=0, metavar="N",
                          help="rig only: also N views per camera of its own into OUTPUT/intrinsics/cam_NN")
    simulate.add_argument("--stationary", action="store_true",
                          help="hand-eye only: the camera stands still and the robot carries the board (eye-to-hand)")
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    # Imported here: `vantel --help` must not pay for the module, cv2 and matplotlib.
    from . import commands
    from .progress_display import progress_on_terminal

    try:
        with progress_on_terminal():
            return commands.run(args)
    except KeyboardInterrupt:
        print(f"vantel {args.command}: interrupted", file=sys.stderr)
        return 130
    except (CommandError, ValueError) as error:
        # The module refuses bad input with ValueError: the user's data, as with our own checks.
        return _error(args.command, error, 2)
    except OSError as error:
        return _error(args.command, f"{error.strerror or error}: {error.filename}" if error.filename else error, 1)
    except Exception as error:  # noqa: BLE001 - a failed calibration or write ends in one line, not a traceback
        return _error(args.command, error, 1)


def _error(command: str, error, status: int) -> int:
    # One line: a module message may run over several.
    lines = str(error).strip().splitlines() or [type(error).__name__]
    print(f"vantel {command}: error: {lines[0]}", file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main())
