"""The main job: a short tour of the `vantel` command line on a simulated eye-in-hand dataset.

It simulates a camera on a robot flange looking at a ChArUco board (`vantel simulate hand-eye`),
calibrates the camera and tcp_T_camera from that folder (`vantel hand-eye`), compares the result
with the truth the scene was rendered from, and says where the record and the plots are.
By default everything goes to a fresh folder under vantel-tour/ in the working directory.
"""

import argparse
import json
import pathlib
import shlex
import sys
import time

import numpy as np

import _vantel
from vantel_tools import cli


def rotation_error_deg(estimate, truth):
    cosine = (np.trace(estimate[:3, :3].T @ truth[:3, :3]) - 1) / 2
    return float(np.degrees(np.arccos(np.clip(cosine, -1, 1))))


def vantel(*argv) -> None:
    print(f"\n$ vantel {shlex.join(str(a) for a in argv)}", flush=True)
    status = cli.main([str(a) for a in argv])
    if status != 0:
        raise SystemExit(f"vantel {argv[0]} failed with status {status}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", type=pathlib.Path,
                        default=pathlib.Path("vantel-tour") / time.strftime("%Y%m%d-%H%M%S"),
                        help="folder for the dataset and the results (default: vantel-tour/<time>)")
    parser.add_argument("--poses", type=int, default=15, help="number of robot poses to render")
    parser.add_argument("--noise", type=float, default=0.2, help="corner position noise in pixels")
    parser.add_argument("--method", default="TSAI", choices=sorted(_vantel.hand_eye_method_by_name_map()))
    args = parser.parse_args()

    dataset, results = args.output / "dataset", args.output / "results"
    vantel("simulate", "hand-eye", dataset, "--views", args.poses, "--noise", args.noise, "--seed", 3)
    truth = json.loads((dataset / "truth.json").read_text())
    vantel("hand-eye", dataset, "--target", truth["target"], "--method", args.method, "-o", results)

    record = _vantel.io.load_hand_eye_result(results)
    estimate, true = record.tcp_T_camera_list[0], np.array(truth["tcp_T_camera"])
    print("\nAgainst the truth the scene was rendered with:")
    print(f"  tcp_T_camera translation error: {1000 * np.linalg.norm(estimate[:3, 3] - true[:3, 3]):.3f} mm")
    print(f"  tcp_T_camera rotation error:    {rotation_error_deg(estimate, true):.4f} deg")
    print(f"  frames used: {record.num_frames_used} of {record.num_frames_total}, method {record.method}")
    print(f"\nRecord: {results / 'hand_eye.json'}")
    print(f"Plots:  {', '.join(str(p) for p in sorted(results.glob('*.png')))}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
