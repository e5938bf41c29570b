#pragma once

// Everything a game may use from oru_core. Our own sources include the
// headers they need one by one instead.

#include <oru/core/argument.h>
#include <oru/core/convert.h>
#include <oru/core/critical_section.h>
#include <oru/core/date_time.h>
#include <oru/core/export.h>
#include <oru/core/file_info.h>
#include <oru/core/non_copyable.h>
#include <oru/core/singleton.h>
#include <oru/core/version.h>
#include <oru/fsm/fsm.h>
#include <oru/fsm/hfsm.h>
#include <oru/log/exception_handler.h>
#include <oru/log/log_folder.h>
#include <oru/log/log_system.h>
#include <oru/pack/oru_file.h>
#include <oru/pack/oru_pack.h>
#include <oru/pack/oru_pack_set.h>
#include <oru/pack/pack_records.h>
#include <oru/property/prop_object.h>
#include <oru/resource/ref_counter.h>
#include <oru/resource/resource.h>
#include <oru/resource/resource_pool.h>
#include <oru/tasks/thread_task.h>
#include <oru/tasks/thread_task_manager.h>
#include <oru/timing/profiler.h>
#include <oru/timing/timer.h>
#include <oru/timing/timer_source.h>
#include <oru/timing/timer_sync.h>
#include <oru/xml/xml_document.h>
