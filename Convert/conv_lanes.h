// Which registers the hot loops (the range scans, the difference-coded row
// decoders) work in: 32 bytes wide where the processor has them, else the
// 16 bytes every x86-64 processor has.
#pragma once

// True when the wide loops may run: the processor has them and they have
// not been turned off.
bool Lanes_Wide();
// Keeps every hot loop on the narrow path, even where wider registers
// exist: for checking that path on any machine.
void Lanes_Narrow_Only(bool narrow);
