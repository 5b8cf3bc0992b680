#pragma once

// Child process spawning shared by the platform libraries: everything in one
// include. Every helper reports failure through its return value and errno;
// nothing throws.

#include <ChildSpawn/Fd.h>
#include <ChildSpawn/Pump.h>
#include <ChildSpawn/Reap.h>
#include <ChildSpawn/Signal.h>
#include <ChildSpawn/Spawn.h>
#include <ChildSpawn/TailBuffer.h>
#include <ChildSpawn/Tuning.h>
