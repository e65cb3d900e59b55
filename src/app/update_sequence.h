// The starter's one fixed sequence, from the elevation gate to self-removal.
#pragma once

void RunUpdateSequence();
// Starts the host program from the working folder with the given verb, then gives it 500 ms.
void LaunchHost(const char* parameters);
