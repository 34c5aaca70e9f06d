// Status codes of the call frame (the public header names the same values).
#pragma once

#include "kvinit64.h"

#include <cstdint>

constexpr uint32_t QDM_STATUS_OK = QDK_STATUS_OK;
constexpr uint32_t QDM_STATUS_BAD_ARGUMENT = QDK_STATUS_BAD_ARGUMENT;
constexpr uint32_t QDM_STATUS_LOCK_TIMEOUT = QDK_STATUS_LOCK_TIMEOUT;
constexpr uint32_t QDM_STATUS_NO_MEMORY = QDK_STATUS_NO_MEMORY;
