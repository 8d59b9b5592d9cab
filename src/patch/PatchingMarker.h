// The "IsPatching" marker in the product's registry key: set while a patch step changes
// the installation and left behind when a step failed half-way, so that the product and
// its support tools can tell a damaged installation. The key is opened, never created:
// without it the marker is neither set nor cleared.
#pragma once

// True when the value was written.
bool SetPatchingMarker();
// True when the value was there and has been deleted.
bool ClearPatchingMarker();
