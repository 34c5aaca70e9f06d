# The library's sources, listed by hand: src/ is exactly what ships.
#
# A new file under src/ goes into the list of its folder below (a platform
# file into the list of its platform, posix or win32).  Configuring fails,
# naming the file, when a source under src/ is in no list, so nothing is
# left out of the shipped libraries or built by accident.
#
# The same list builds both object sets: the shipped one, and the testable
# one (KVINIT64_TESTABLE) that has the allocation countdown, the fault probes
# and the message-box hook for the tests, fuzz targets and benchmarks.

set(KV_SOURCES_FRAME
  src/frame/alloc.cpp
  src/frame/lock.cpp)

set(KV_SOURCES_API
  src/api/error_file.cpp
  src/api/libinfo.cpp)

set(KV_SOURCES_DIAG
  src/diag/collector.cpp
  src/diag/fopen_utf8.cpp
  src/diag/global_mutex.cpp
  src/diag/messages.cpp
  src/diag/report.cpp
  src/diag/safecopy.cpp
  src/diag/sink.cpp)

set(KV_SOURCES_PROFILE
  src/profile/checksum.cpp
  src/profile/context.cpp
  src/profile/cursor_list.cpp
  src/profile/fail.cpp
  src/profile/format.cpp
  src/profile/kernels/checksum_avx512.cpp
  src/profile/kernels/checksum_sse2.cpp
  src/profile/kernels/checksum_ssse3.cpp
  src/profile/kernels/dispatch.cpp
  src/profile/kernels/linecodec_avx2.cpp
  src/profile/kernels/linecodec_avx512.cpp
  src/profile/kernels/linecodec_sse2.cpp
  src/profile/kernels/linescan_avx2.cpp
  src/profile/kernels/linescan_avx512.cpp
  src/profile/keys.cpp
  src/profile/linecodec.cpp
  src/profile/lineio.cpp
  src/profile/linescan.cpp
  src/profile/load.cpp
  src/profile/open_close.cpp
  src/profile/records.cpp
  src/profile/save.cpp
  src/profile/sections.cpp)

# The kernels of the line encoding and the checksum, one file per instruction
# set, each compiled for its own set (kernels/dispatch.h runs a kernel only
# where the processor has the set).  The AVX2 and AVX-512 kernels are built
# on x86-64 with GCC or Clang.  For Windows only where the assembler encodes
# every aligned vector move as an unaligned one (binutils 2.38 and later):
# MinGW's GCC cannot count on a 32 or 64-byte aligned stack, so a vector it
# spills there with an aligned move could fault; the unaligned move never
# does, and costs nothing on aligned data.  Elsewhere their files compile to
# nothing and the dispatch never picks them.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$"
   AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  set_source_files_properties(src/profile/kernels/linecodec_sse2.cpp
    src/profile/kernels/checksum_sse2.cpp PROPERTIES COMPILE_OPTIONS "-msse2")
  set_source_files_properties(src/profile/kernels/checksum_ssse3.cpp
    PROPERTIES COMPILE_OPTIONS "-mssse3")
  set(_kv_wide_options "")
  set(_kv_wide_kernels ON)
  if(WIN32)
    include(CheckCXXCompilerFlag)
    check_cxx_compiler_flag("-Wa,-muse-unaligned-vector-move" KV_UNALIGNED_VECTOR_MOVES)
    set(_kv_wide_options "-Wa,-muse-unaligned-vector-move")
    set(_kv_wide_kernels ${KV_UNALIGNED_VECTOR_MOVES})
  endif()
  if(_kv_wide_kernels)
    set_source_files_properties(src/profile/kernels/linecodec_avx2.cpp
      src/profile/kernels/linescan_avx2.cpp PROPERTIES
      COMPILE_OPTIONS "-mavx2;${_kv_wide_options}" COMPILE_DEFINITIONS KV_KERNEL_AVX2=1)
    set_source_files_properties(src/profile/kernels/linecodec_avx512.cpp
      src/profile/kernels/linescan_avx512.cpp PROPERTIES
      COMPILE_OPTIONS "-mavx512f;-mavx512bw;-mavx512vbmi;-mavx512vbmi2;-mbmi2;-mpopcnt;${_kv_wide_options}"
      COMPILE_DEFINITIONS KV_KERNEL_AVX512=1)
    set_source_files_properties(src/profile/kernels/checksum_avx512.cpp PROPERTIES
      COMPILE_OPTIONS
      "-mavx512f;-mavx512bw;-mavx512vbmi;-mavx512vbmi2;-mbmi2;-mpopcnt;${_kv_wide_options}"
      COMPILE_DEFINITIONS KV_KERNEL_AVX512=1)
    set_source_files_properties(src/profile/kernels/dispatch.cpp src/profile/linecodec.cpp
      src/profile/checksum.cpp src/profile/linescan.cpp
      PROPERTIES COMPILE_DEFINITIONS "KV_KERNEL_AVX2=1;KV_KERNEL_AVX512=1")
  endif()
endif()

# Platform files shared by both platforms (src/platform/*.cpp).
set(KV_SOURCES_PLATFORM
  src/platform/fault.cpp
  src/platform/msgbox_hook.cpp
  src/platform/open_reason.cpp
  src/platform/redo_format.cpp
  src/platform/rewrite.cpp
  src/platform/stream_write.cpp
  src/platform/temp_name.cpp)

set(KV_SOURCES_POSIX
  src/platform/posix/cancel.cpp
  src/platform/posix/file.cpp
  src/platform/posix/fork.cpp
  src/platform/posix/global_lock.cpp
  src/platform/posix/local_mutex.cpp
  src/platform/posix/msgbox.cpp
  src/platform/posix/mutex.cpp
  src/platform/posix/pages.cpp
  src/platform/posix/path_walk.cpp
  src/platform/posix/read_file.cpp
  src/platform/posix/redo.cpp
  src/platform/posix/replace.cpp
  src/platform/posix/update_file.cpp
  src/platform/posix/updater_flag.cpp)

set(KV_SOURCES_WIN32
  src/platform/win32/cancel.cpp
  src/platform/win32/file.cpp
  src/platform/win32/msgbox.cpp
  src/platform/win32/handle_stream.cpp
  src/platform/win32/mutex.cpp
  src/platform/win32/pages.cpp
  src/platform/win32/path_check.cpp
  src/platform/win32/read_file.cpp
  src/platform/win32/redo.cpp
  src/platform/win32/replace.cpp
  src/platform/win32/update_file.cpp
  src/platform/win32/utf16.cpp)

# Files of the shared library alone (the DLL's entry point).  The ELF
# library needs none: its second export name is an alias defined beside
# QDKgetLibInfo.
set(KV_SHARED_ONLY_POSIX)
set(KV_SHARED_ONLY_WIN32 src/platform/win32/dllmain.cpp)

# Every .cpp under src/ must be in exactly one list above.
function(kv_check_source_lists)
  file(GLOB_RECURSE found RELATIVE ${PROJECT_SOURCE_DIR} CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/src/*.cpp)
  set(listed ${KV_SOURCES_FRAME} ${KV_SOURCES_API} ${KV_SOURCES_DIAG} ${KV_SOURCES_PROFILE}
    ${KV_SOURCES_PLATFORM} ${KV_SOURCES_POSIX} ${KV_SOURCES_WIN32}
    ${KV_SHARED_ONLY_POSIX} ${KV_SHARED_ONLY_WIN32})
  foreach(f ${found})
    list(FIND listed ${f} at)
    if(at EQUAL -1)
      message(FATAL_ERROR "${f} is in no source list: add it to cmake/sources.cmake")
    endif()
  endforeach()
  foreach(f ${listed})
    if(NOT EXISTS ${PROJECT_SOURCE_DIR}/${f})
      message(FATAL_ERROR "${f} is listed in cmake/sources.cmake but does not exist")
    endif()
  endforeach()
endfunction()
kv_check_source_lists()

if(WIN32)
  set(KV_SOURCES_THIS_PLATFORM ${KV_SOURCES_WIN32})
  set(KV_SHARED_ONLY ${KV_SHARED_ONLY_WIN32})
else()
  set(KV_SOURCES_THIS_PLATFORM ${KV_SOURCES_POSIX})
  set(KV_SHARED_ONLY ${KV_SHARED_ONLY_POSIX})
endif()
set(KV_SOURCES ${KV_SOURCES_FRAME} ${KV_SOURCES_API} ${KV_SOURCES_DIAG} ${KV_SOURCES_PROFILE}
  ${KV_SOURCES_PLATFORM} ${KV_SOURCES_THIS_PLATFORM})

# Support for tests, tools and the example (support/): child processes,
# argument reading, run-time loading.  Never part of the libraries.
if(WIN32)
  set(KV_SUPPORT_SOURCES support/win32/process.cpp support/win32/dynlib.cpp)
else()
  set(KV_SUPPORT_SOURCES support/posix/process.cpp support/posix/dynlib.cpp)
endif()
