"""Example session: pose conversions between robot pose vectors and 4x4 transforms."""

import numpy as np

import _vantel


def main() -> None:
    np.set_printoptions(precision=6, suppress=True)
    tf = _vantel.tf

    pose = [0.45, -0.10, 0.62, 15.0, -30.0, 120.0]
    robot_T_tcp = tf.pose_to_transformation_matrix(pose)
    print("robot pose [x, y, z, rx, ry, rz] (m, deg):", pose)
    print("robot_T_tcp:\n", robot_T_tcp)
    print("back to a pose vector:", np.round(tf.transformation_matrix_to_pose(robot_T_tcp), 9).tolist())

    locked = tf.pose_to_transformation_matrix([0, 0, 0, 30, 90, 0])
    print("gimbal lock [0, 0, 0, 30, 90, 0] reads back as:",
          np.round(tf.transformation_matrix_to_pose(locked), 9).tolist())

    # Noisy repeats of one flange pose, averaged back onto SO(3).
    rng = np.random.default_rng(7)
    repeats = [tf.pose_to_transformation_matrix(np.add(pose, rng.normal(0, [0.001] * 3 + [0.2] * 3)))
               for _ in range(10)]
    mean = tf.average_pose(repeats)
    print("mean of 10 noisy repeats:", np.round(tf.transformation_matrix_to_pose(mean), 4).tolist())
    print("mean rotation is orthonormal:", np.allclose(mean[:3, :3] @ mean[:3, :3].T, np.eye(3)))


if __name__ == "__main__":
    main()
