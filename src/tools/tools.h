// Tools over a database directory, the work behind the quilletdb command.
// One header per tool; this one gathers them for a caller that wants all:
//   progress.h  the progress callback and its meter
//   scan.h      whole-file record scans of the two log formats
//   stat.h, check.h, repair.h, compact.h   the tools over a directory
//   query.h     reads through a read-only open, and dump
//   json.h      the JSON rendering of values the command prints
#pragma once

#include "tools/check.h"
#include "tools/common.h"
#include "tools/compact.h"
#include "tools/dump.h"
#include "tools/json.h"
#include "tools/progress.h"
#include "tools/query.h"
#include "tools/repair.h"
#include "tools/scan.h"
#include "tools/stat.h"
