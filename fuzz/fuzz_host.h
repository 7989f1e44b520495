// Host blocks and callbacks for the fuzz targets that drive the plug-in's receive path: the
// state the plug-in has once a host has started it and a board has connected, without a link
// or any thread. Installed once per process; every input then runs against the state the
// inputs before it left, as frames from a board do.
#pragma once

namespace kvfuzz {

void InstallLiveHost();

}  // namespace kvfuzz
