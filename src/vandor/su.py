"""Plain Seismic Unix files: traces back to back with no count in front, in either byte order.

``read`` gives an in-memory dataset, ``write`` writes one out, and ``convert`` streams between SU
and stored datasets in chunks of traces, in constant memory, whatever the file size.
"""
from __future__ import annotations

import tempfile

from vandor import segy
from vandor._atomic import Target, Writer, committed, refuse_own_source
from vandor._format import (
    COUNT_SIZE, NATIVE, NATIVE_NAME, ORDERS, Layout, order_of, pack_count, plural, with_note)
from vandor._walk import (
    CHUNK, Source, Splitter, StoredSink, arrays_of, count_traces, identify as _identify, recode,
    rows_of, splitter_for, su_byteorder, walk)

__all__ = ["read", "write", "convert", "identify", "Layout"]


# ----------------------------------------------------------------------------- public


def read(source, byteorder: str = "auto") -> segy.SEGY:
    """Reads a plain SU file (a path, a binary file object or a pipe) into an in-memory dataset.

    `byteorder` is 'little', 'big' or 'auto': auto-detection follows the first traces in each
    order and uses the one order whose headers all make sense and, for a short file, end
    exactly at its end. The file is held once: each trace's samples lie in an array shared
    with the traces read beside it (about 16 MiB of them), as ``SEGY.from_numpy`` shares."""
    order = order_of(byteorder)
    traces: list[segy.SEGYTrace] = []
    with Source(source) as src:
        if order == "auto":
            order = su_byteorder(src)
        code = ORDERS[order]
        # a chunk at a time, straight from the read buffer into the traces' own arrays (the
        # byte order put right on the way): the file is never held twice. Chunks of 16 MiB give
        # arrays large enough for NumPy to ask the kernel for huge pages, which fill far faster.
        splitter = Splitter(code, src.name, chunk=16 << 20)
        for block, runs in walk(src, splitter):
            for pos, ns, k in runs:
                traces += segy.SEGY.from_numpy(*arrays_of(rows_of(block, pos, ns, k), code))
    pack_count(len(traces))  # the count a dataset holds, or the OverflowError of one too many
    return segy._MemoryTraceIterator(traces).to_memory()


def identify(source) -> Layout:
    """The layout of a file: a stored dataset, or SU in one byte order.

    A stored dataset is a count followed by that many whole traces: they may be followed by
    other bytes, unless the file also reads as SU in one byte order, which then wins; a count
    and traces that end exactly at the end of the file win over SU. ValueError when no reading
    or more than one fits. A file object is left where it was."""
    with Source(source) as src:
        try:
            return _identify(src)
        finally:
            if src.start is not None:
                src.rewind()


def su_sink(target: Target, order: str) -> StoredSink:
    """A write-only object that takes a stored dataset's bytes and writes them on as SU."""
    if order == NATIVE:  # the traces' bytes as they are
        return StoredSink(target.name, on_bytes=target.write)

    def recoded(block, runs):
        for part in recode(block, runs, NATIVE, order):
            target.write(part)
    return StoredSink(target.name, on_block=recoded)


def write(dataset_or_stream, target, byteorder: str = "little") -> None:
    """Writes a dataset or a trace stream as plain SU in `byteorder` ('little' or 'big').

    It writes every trace or raises. A path is replaced only by a complete, synced file, and
    never while it is the dataset's own source; a pipe or device named by path is written as a
    stream, never replaced. The dataset keeps its mode: unlike ``to_file``,
    it is not rebound to what was written (a stream is consumed, as by ``to_stream``)."""
    order = ORDERS[order_of(byteorder, allow_auto=False)]
    stream = iter(dataset_or_stream)
    if not isinstance(stream, segy.BaseTraceIterator):
        raise TypeError(f"a SEGY dataset or a trace stream is required, not "
                        f"'{type(dataset_or_stream).__name__}'")
    with committed(target, "SU") as out:
        refuse_own_source(out, [dataset_or_stream, stream],
                          "this is the file the dataset reads from; write to another path")
        stream.to_file(su_sink(out, order))  # its flush() checks that the last trace is whole


def convert(source, target, source_format: str | None = None, target_format: str | None = None,
            byteorder: str = "auto", progress=None, source_byteorder: str = "auto") -> int:
    """Streams a file between SU (either byte order) and a stored dataset, in constant memory.

    `source_format` and `target_format` are 'dataset' or 'su'; the source's is found from its
    bytes when not given (a stream must name it), the target's is the other one. `byteorder` is
    that of the SU side: read from an SU source ('auto' detects it), written to an SU target
    ('auto' is the machine's order). SU to SU rewrites the traces in `byteorder`, the source's
    order being `source_byteorder` ('auto' detects it); a source already in that order is copied
    unchanged. A stored dataset written to a target that can seek gets its
    count once the traces are written; one written to a target that cannot (a pipe), or whose
    writes all land at its end (append mode), needs the count first, which takes one extra pass
    over a source that can seek; one that cannot (a pipe) is spooled to an unnamed temporary
    file (in TMPDIR) to be counted, then copied on, and the spool is gone whatever happens.
    A path is replaced only when it names a regular file or nothing; a pipe or device there is
    written as a stream. `progress`, if given, is called with the number of bytes read each time.
    Returns the number of traces written."""
    order = order_of(byteorder)
    from_order = order_of(source_byteorder)
    for fmt in (source_format, target_format):
        if fmt not in (None, "dataset", "su"):
            raise ValueError(f"format must be 'dataset' or 'su', not {fmt!r}")
    with Source(source) as src:
        detected = None
        if source_format is None:
            if src.start is None:
                raise ValueError(f"{src.name}: the format of a stream cannot be told before "
                                 f"reading it: give source_format='dataset' or 'su'")
            layout = _identify(src)
            src.rewind()
            source_format = layout.format
            detected = layout.byteorder if layout.format == "su" else None
        if target_format is None:
            target_format = "su" if source_format == "dataset" else "dataset"
        if target_format == source_format == "dataset":
            raise ValueError("both sides are dataset: nothing to convert")
        if target_format == "dataset" and from_order == "auto":
            from_order = order  # the SU side is the source
        if source_format == "su" and from_order == "auto":
            from_order = detected or su_byteorder(src)
        if target_format == "su" and order == "auto":
            order = NATIVE_NAME
        out = Target(target)
        try:
            refuse_own_source(out, [src.file], "the target is the source; write to another path")
            if source_format == "dataset":
                count = _dataset_to_su(src, out, ORDERS[order], progress)
            elif target_format == "dataset":
                count = _su_to_dataset(src, out, ORDERS[from_order], progress)
            else:
                count = _su_to_su(src, out, ORDERS[from_order], ORDERS[order], progress)
            out.commit()
        except BaseException:
            out.abandon()
            raise
    return count


def _pour(src: Source, splitter: Splitter, out: Target | Writer, dst_order: str,
          progress) -> int:
    """Writes every trace the walk of `src` finds to `out`, in byte order `dst_order`; returns
    how many there were."""
    for block, runs in walk(src, splitter, progress):
        for part in recode(block, runs, splitter.order, dst_order):
            out.write(part)
    return splitter.index


def _su_to_dataset(src: Source, out: Target, order: str, progress) -> int:
    count = None
    if out.start is None:
        if src.start is None:
            return _spooled_to_dataset(src, out, order, progress)
        count = count_traces(src, order)
    out.write(pack_count(count or 0))
    found = _pour(src, Splitter(order, src.name), out, NATIVE, progress)
    if count is None:
        out.mend_count(found)
    elif count != found:
        raise OSError(f"{src.name}: the source changed while it was converted: "
                      f"{plural(count, 'trace')} counted, then {found} read")
    return found


class _Spool(Writer):
    """Writes to the temporary file that holds a stream's traces while they are counted; a
    failure there (a full TMPDIR) says where, since the file has no name to tell."""

    def write(self, data) -> None:
        try:
            super().write(data)
        except OSError as e:
            raise with_note(e, f"while holding the traces in a temporary file in "
                               f"{tempfile.gettempdir()} (TMPDIR chooses the folder)")


def _spooled_to_dataset(src: Source, out: Target, order: str, progress) -> int:
    """A stream into a stream that needs the count first: the traces wait in a temporary file,
    already in the dataset's byte order, until the end tells how many there are. The file has no
    name (or loses it at once), so it is gone however this ends, Ctrl-C included."""
    with tempfile.TemporaryFile(prefix="vandor-spool-") as spool:
        found = _pour(src, Splitter(order, src.name), _Spool(spool), NATIVE, progress)
        out.write(pack_count(found))
        spool.seek(0)
        buf = memoryview(bytearray(CHUNK))
        while n := spool.readinto(buf):
            out.write(buf[:n])
    return found


def _su_to_su(src: Source, out: Target, src_order: str, dst_order: str, progress) -> int:
    return _pour(src, Splitter(src_order, src.name), out, dst_order, progress)


def _dataset_to_su(src: Source, out: Target, order: str, progress) -> int:
    splitter = splitter_for(src, Layout("dataset", NATIVE_NAME))
    if progress is not None:
        progress(COUNT_SIZE)
    return _pour(src, splitter, out, order, progress)
