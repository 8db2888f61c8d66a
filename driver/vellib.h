/*
 * Every header of the driver, for the code that looks at all of it at once
 * (the tests and benchmarks). The driver's own files include what they use.
 */
#ifndef VELMORA_VELLIB_H
#define VELMORA_VELLIB_H

#include "automap.h"
#include "backup.h"
#include "backup_lifecycle.h"
#include "block_map.h"
#include "cache.h"
#include "cache_thread.h"
#include "control_device.h"
#include "disk_reader.h"
#include "geometry.h"
#include "hook_policy.h"
#include "intercept.h"
#include "map_transfer.h"
#include "queue_registry.h"
#include "read_commands.h"
#include "record_state.h"
#include "snapshot.h"
#include "stats.h"
#include "transfer_buffer.h"
#include "user_count.h"

#endif
