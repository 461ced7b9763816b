// probes: what the listener benchmarks read while a run goes on.
//
// SqliteLogsCount opens the file read-only (waiting up to 2 s for a writer)
// and counts the archived datagrams; -1 when it cannot be read yet.
// RcvbufErrors is the machine's UDP receive-buffer drop counter from
// /proc/net/snmp; -1 when unknown.
#pragma once

#include <string>

long long SqliteLogsCount(const std::string& db_path);
long long RcvbufErrors();
