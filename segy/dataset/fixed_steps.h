// When the array readers may reach a trace of a stored dataset by arithmetic instead of walking
// every header before it: the trust policy for fixed steps, and the process-wide record of the
// files a walk has proven uniform.
#pragma once

#include <Python.h>

#include <sys/types.h>

#include "segy/dataset/path_read.h"

namespace vandor::segymod {

// Where trace `start` lies if the traces may be taken to lie at fixed steps of the first one's
// size (`first` is the first trace's header): *offset is set and 1 returned. 0 when only a walk
// can tell, or -1 + exception. The steps are taken when the file is a whole number of them, the
// headers at the steps of start - 1 and start agree with the first in ns and dt, and (past the
// first trace) a walk of every header has once shown this very file uniform. A reader that takes
// the steps must still check each trace it reads against them and walk at the first that does not
// fit, so that bytes inside some trace's samples never pass for traces.
int fixed_step_offset(const PathRead& f, const char* first, Py_ssize_t start, off_t* offset);

}  // namespace vandor::segymod
