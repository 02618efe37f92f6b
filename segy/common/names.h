// Interned attribute and module-global names, created once when the module executes.
#pragma once

#include <Python.h>

// X(identifier, text)
#define VANDOR_NAMES(X)                 \
    X(read, "read")                     \
    X(base, "base")                     \
    X(write, "write")                   \
    X(name, "name")                     \
    X(flush, "flush")                   \
    X(fileno, "fileno")                 \
    X(fsync, "fsync")                   \
    X(fspath, "fspath")                 \
    X(close, "close")                   \
    X(seek, "seek")                     \
    X(tell, "tell")                     \
    X(seekable, "seekable")             \
    X(path, "path")                     \
    X(samefile, "samefile")             \
    X(abspath, "abspath")               \
    X(dirname, "dirname")               \
    X(o_rdonly, "O_RDONLY")             \
    X(fspath_method, "__fspath__")      \
    X(open, "open")                     \
    X(require, "require")               \
    X(float32, "float32")               \
    X(ndarray, "ndarray")               \
    X(dtype, "dtype")                   \
    X(requirements, "requirements")     \
    X(C, "C")                           \
    X(io, "io")                         \
    X(os, "os")                         \
    X(np, "np")                         \
    X(nullcontext, "nullcontext")       \
    X(FileIO, "FileIO")                 \
    X(BufferedReader, "BufferedReader") \
    X(BufferedWriter, "BufferedWriter") \
    X(BufferedRandom, "BufferedRandom") \
    X(from_bytes, "from_bytes")         \
    X(byteorder, "byteorder")           \
    X(little, "little")                 \
    X(on_disk, "on_disk")               \
    X(in_memory, "in_memory")           \
    X(is_iterator, "is_iterator")       \
    X(n_traces, "n_traces")             \
    X(to_memory, "to_memory")           \
    X(to_file, "to_file")               \
    X(to_stream, "to_stream")           \
    X(dt, "dt")                         \
    X(ntr, "ntr")                       \
    X(enter, "__enter__")               \
    X(exit, "__exit__")                 \
    X(fstat, "fstat")                   \
    X(stat, "stat")                     \
    X(samestat, "samestat")             \
    X(st_mode, "st_mode")               \
    X(mode, "mode")                     \
    X(rb, "rb")                         \
    X(wb, "wb")

namespace vandor::segymod::names {
#define VANDOR_NAME_DECL(id, text) extern PyObject* id;
VANDOR_NAMES(VANDOR_NAME_DECL)
#undef VANDOR_NAME_DECL
}  // namespace vandor::segymod::names
