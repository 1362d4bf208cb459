// Test-only: lets a test program run the module's once-per-load steps again.
#pragma once

// Makes g_errLog as it is right after the module is loaded: the once flag of the size check
// cleared and the object uninitialised (empty path and module name, not quiet). Tests only;
// no module code calls it.
void ErrLogTestingRestartLoad();
