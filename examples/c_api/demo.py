"""Runs the example extension and reads its file with vandor: python demo.py [path]"""
import sys

import numpy as np
import tracecopy
from vandor import segy

path = sys.argv[1] if len(sys.argv) > 1 else "tracecopy.bin"
trace, back = tracecopy.roundtrip(path, 8)
stored = list(segy.SEGY.from_file(path))
for t in (trace, back, *stored):
    print(t.ns, t.dt, np.frombuffer(t, np.float32).tolist())
