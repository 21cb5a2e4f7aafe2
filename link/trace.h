// Short trace lines of the link and the reader. On Windows they go to the
// debugger output; on POSIX to a sink that a front end may set (none by default).
#pragma once

void linkTrace(const char* text);

using TraceSink = void (*)(const char* text);
void setTraceSink(TraceSink sink);
