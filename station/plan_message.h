// A gang's plan as its parent hands it to each worker: the whole parsed plan
// as one message (station/worker_protocol.h), never a rebuilt argument list.
#pragma once

#include <string>

#include "station/plan.h"

// The plan as the text of a plan message (one JSON object, every field).
std::string encodePlan(const Options& plan);
// Reads it back: false, with the reason in *error, for a text that is not a
// plan or lacks a field. The role stays as *plan had it.
bool decodePlan(const std::string& text, Options* plan, std::string* error);
// The plan of the worker for `port`: the gang's own, without what the parent
// keeps to itself: where serial numbers come from and --count (the parent
// hands out numbers and boards), the report's path and --report-append (the
// parent writes the report; with `report` the worker sends it its lines),
// --simulate (it excludes --port), the console and the developer's loop
// (--monitor and --watch take one port and no gang).
Options workerPlan(const Options& gang, const std::string& port, bool report);
