// What the rest of the relay reads of its process-wide life.
#pragma once

bool RelayStarted();
// Mode 1 of the module: duplications report what they would copy and write nothing.
bool RelayDryRun();
