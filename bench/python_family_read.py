"""One read of python_bench: a family into a pandas DataFrame through the vdpattern module, in millimetres.

Usage: python_family_read.py CATALOG FAMILY. Prints the CPU seconds of the read alone (the process's, every
thread's) and the number of rows; the imports and the catalog's opening are not counted.
"""

import sys
import time

import pandas  # noqa: F401  imported before the clock starts, as frame() would import it

import vdpattern

catalog = vdpattern.Catalog(sys.argv[1], metrics=1000)
start = time.process_time()
frame = catalog.frame(sys.argv[2])
seconds = time.process_time() - start
print(f"{seconds:.9f} {len(frame)}")
