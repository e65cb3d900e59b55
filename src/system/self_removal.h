// Leaves a hidden batch script behind that deletes the program file once the process has ended,
// then its folder when that is empty, then itself.
#pragma once

bool StartSelfRemovalScript();
