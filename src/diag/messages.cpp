// The profile component's catalogue and the library's general catalogue.
#include "diag/messages.h"

#include <iterator>

#define PROFILE_MESSAGE_TEMPLATE(number, name, text) text,
const char *const profileMessages[] = {"OXB", "21",
                                       PROFILE_MESSAGE_TABLE(PROFILE_MESSAGE_TEMPLATE)};
#undef PROFILE_MESSAGE_TEMPLATE

namespace {
// The table must list the numbers 2, 3, ... 21 in order, so that entry k of
// the catalogue is the template of number k.
#define PROFILE_MESSAGE_NUMBER(number, name, text) number,
constexpr uint32_t profileNumbers[] = {PROFILE_MESSAGE_TABLE(PROFILE_MESSAGE_NUMBER)};
#undef PROFILE_MESSAGE_NUMBER

constexpr bool profileNumbersInOrder() {
    for (size_t i = 0; i < std::size(profileNumbers); ++i)
        if (profileNumbers[i] != i + 2) return false;
    return true;
}
static_assert(profileNumbersInOrder(), "message numbers must run 2, 3, ... without gaps");
static_assert(std::size(profileMessages) == PROFILE_STATUS_BAD_VALUE + 1,
              "entry 1 of profileMessages says 21");
} // namespace

// No template here takes an argument: none holds a conversion.
const char *const generalMessages[] = {
    "KTR",
    "53",
    "The given file does not exist.",            // 2
    "Access to the file was denied.",            // 3
    "Invalid handle.",                           // 4
    "Writing to the file failed.",               // 5
    "Reading from the file failed.",             // 6
    "Invalid parameter.",                        // 7
    "The file is damaged.",                      // 8
    "Invalid library handle.",                   // 9
    "Too many files are open.",                  // 10
    "Check the calling parameters.",             // 11
    "The file could not be opened.",             // 12
    "The file could not be closed.",             // 13
    "No more resources available.",              // 14
    "End of list reached.",                      // 15
    "The item was not found.",                   // 16
    "The item already exists.",                  // 17
    "The name is too long.",                     // 18
    "The name is invalid.",                      // 19
    "The value is too long.",                    // 20
    "Out of heap memory.",                       // 21
    "The buffer is too small.",                  // 22
    "The operation timed out.",                  // 23
    "The lock could not be obtained.",           // 24
    "The lock could not be released.",           // 25
    "The lock could not be created.",            // 26
    "The library is not initialised.",           // 27
    "The library is already initialised.",       // 28
    "The version is not supported.",             // 29
    "The operation is not supported.",           // 30
    "The path is too long.",                     // 31
    "The path is invalid.",                      // 32
    "The folder does not exist.",                // 33
    "The folder could not be created.",          // 34
    "The file could not be deleted.",            // 35
    "The file could not be renamed.",            // 36
    "The disk is full.",                         // 37
    "The text could not be converted.",          // 38
    "The text encoding is invalid.",             // 39
    "The checksum does not match.",              // 40
    "The record is damaged.",                    // 41
    "The record is too large.",                  // 42
    "The list is empty.",                        // 43
    "The index is out of range.",                // 44
    "The stream is not open.",                   // 45
    "The stream could not be flushed.",          // 46
    "The error destination could not be set.",   // 47
    "The error report could not be written.",    // 48
    "The system information could not be read.", // 49
    "The operation was cancelled.",              // 50
    "The library is busy.",                      // 51
    "An internal error occurred.",               // 52
    "Unknown error.",                            // 53
};
static_assert(std::size(generalMessages) == 54, "entry 1 of generalMessages says 53");
