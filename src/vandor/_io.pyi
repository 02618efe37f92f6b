"""Lends stdio streams on Python file objects to other extension modules.

This module has no Python-level functions. It exists for C and C++ code: ``vandor.segy`` and
other extension modules take two functions from its C-level table ``__pyx_capi__``, a dict from
function name to a capsule named by the function's C signature:

* ``PyFile_Dup(file, mode)`` lends a ``FILE *`` reading (``"rb"``) or writing (``"wb"``) the
  Python file object ``file`` from its current position, with an opaque position value. Files
  of the standard I/O stack (``open(path, 'rb')``) are used through their descriptor; any other
  binary file object (``BytesIO``, ``gzip.open``, buffered pipes) through its own methods
  (``read`` or ``peek``, ``write``, ``seek``, ``tell``).
* ``PyFile_DupClose(file, stream, orig_pos)`` takes the stream back: everything written has then
  reached ``file``, which is left open, positioned just after what the stream read or wrote.

Both report failure by setting a Python exception. See ``docs/c-api.md`` in the source tree.
"""

from typing import Final

__pyx_capi__: Final[dict[str, object]]
"""``PyFile_Dup`` and ``PyFile_DupClose``, as capsules named by their C signatures."""
