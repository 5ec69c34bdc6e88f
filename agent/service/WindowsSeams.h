// The worker's seams as the Windows program has them: the real registry,
// WinHTTP, zlib from the program's folder and the system's probes.
#pragma once

#include "agent/MainWorker.h"
#include "platform/win32/adapter_names_win32.h"
#include "platform/win32/cpu_probe_win32.h"
#include "corelib/ping.h"
#include "platform/win32/disk_probe_win32.h"
#include "platform/win32/event_log_reader_win32.h"
#include "platform/win32/http_check_win32.h"
#include "platform/win32/icmp_echo_win32.h"
#include "platform/win32/memory_probe_win32.h"
#include "platform/win32/process_probe_win32.h"
#include "platform/win32/registry_store.h"
#include "platform/win32/system_info_win32.h"
#include "platform/win32/winhttp_exchange.h"
#include "platform/win32/winhttp_request.h"
#include "platform/win32/zlib_library.h"
#include "platform/win32/upgrade_host_win32.h"

struct WindowsSeams {
  platform::RegistryStore registry;
  WinHttpExchange exchange;
  ZlibLibrary zlib;
  SystemInfoWin32 system;
  CpuProbeWin32 cpu;
  MemoryProbeWin32 memory;
  DiskProbeWin32 disk;
  ProcessProbeWin32 process;
  EventLogReaderWin32 eventLog;
  IcmpEchoWin32 icmp{&ping_until_stopped};
  HttpCheckWin32 http;
  AdapterNamesWin32 adapters;
  WinHttpTransport customHttp;
  UpgradeHostWin32 upgrade;

  WorkerSeams Seams() {
    WorkerSeams seams{registry, exchange, zlib, system, cpu, memory, disk, process, icmp};
    seams.eventLog = &eventLog;
    seams.http = &http;
    seams.adapters = &adapters;
    seams.customHttp = &customHttp;
    seams.upgrade = &upgrade;
    seams.processes = platform::system_custom_runtime();
    return seams;
  }
};
