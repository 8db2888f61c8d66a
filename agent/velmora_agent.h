// The velmora agent library: what a program needs to back devices up with
// the velmora driver, check the images and show what changed, without the
// velmora-agent command. Every call below is declared, with what it throws,
// in the header named beside it.
//
// Reaching a machine (system_calls.h, remote_system_calls.h):
//   connectToMachine(socket)   the system calls of a running machine (velmorad);
//                              throws SystemError when it cannot be reached.
//   inProcessSystemCalls()     the stand-in kernel booted in this process.
//   machineStatus(socket)      the machine's agents and open control files (JSON).
//   machineKernelLog(socket)   its kernel log, newest lines.
//
// Backing up (device_backup.h):
//   backUpDevice(request)      a full, incremental or automatic backup of one
//                              device into a store's chain (destination) or
//                              an image file, the key kept per device
//                              in a directory (key_store.h). Throws
//                              FullBackupNeeded, BackupFailed, CommandError
//                              (what() in words: status_meaning.h) or
//                              std::runtime_error; the previous image and key
//                              then stay usable.
//   runBackup(request)         the same one level down, with the key in the
//                              caller's hands (backup_runner.h).
//
// Checking and showing (image_check.h, change_map_picture.h):
//   checkImage(image, options) e2fsck -fn and a byte comparison.
//   writeChangeMapPng(...)     the blocks a backup copied, as a PNG.
//   changeMapRuns(...)         the same as text runs.
//   KeyStore(dir, device)      the kept key, the blocks of the last backup.
//
// The store (library velmora_store, headers in store/; not included here):
//   StoreDestination(dir, device)   a backup's destination: a new point of the
//                                   device's chain (store_destination.h).
//   DeviceChain(dir, device)        the points: points(), restore(),
//                                   restoreToFile(), verify(), prune()
//                                   (device_chain.h); a damaged block throws
//                                   StoreCorrupt naming the point and block.
//   selectPoint(points, spec)       a point by number, "latest" or time
//                                   (point_selection.h).
#pragma once

#include "backup_runner.h"
#include "backup_state.h"
#include "change_map_picture.h"
#include "control_device.h"
#include "device_backup.h"
#include "image_check.h"
#include "key_store.h"
#include "remote_system_calls.h"
#include "status_meaning.h"
#include "system_calls.h"
