"""Tools around the compiled core `_vantel`: the `vantel` command line, the scene simulator and plots.

`vantel_tools.rendering` renders calibration boards as known cameras see them (numpy and cv2
only, independent of `_vantel`), which is what the simulator and the tests take as the truth.
"""
