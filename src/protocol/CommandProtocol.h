#pragma once

#include <array>
#include <span>
#include <string_view>

#include "protocol/NotificationNames.h"

// The protocol between the main app and the helper as one table: every command with who may
// send it, the answers it brings and ampwardenctl's verb for it; every answer with its keys
// and their D-Bus types. The helper's command module, ampwardenctl and the end-to-end tests
// (through `ampwardenctl --protocol-json`) all read it, so a command is added here, once.

namespace ampwarden::protocol {

// What a command needs from its sender: queries only read; every other command changes the
// machine's state, and uninstall removes the helper.
enum class Access { ReadOnly, Control, Uninstall };

// A key of an answer and its D-Bus type: 's' string, 'i' int32, 'x' int64.
struct AnswerKey {
    const char* name = nullptr;
    char type = 0;
};

struct AnswerEntry {
    const char* name;
    std::array<AnswerKey, 3> keys;  // those in use come first
    // It also carries smcWritten (int32): 1 when each key the command writes at once was
    // written, else 0, with smcNotWritten (string) naming the keys that were not.
    bool reportsWrites = false;
};

// One step of the answers a command brings: one answer, or either of two when the helper's
// state picks (with the lid closed a discharge is answered as a stop).
struct AnswerStep {
    const char* name = nullptr;
    const char* otherwise = nullptr;
};

struct CommandEntry {
    const char* name;
    Access access;
    std::array<AnswerStep, 2> answers;  // in the order they come; those in use first
    const char* verb;                   // ampwardenctl's words for it
};

inline constexpr AnswerEntry kAnswers[] = {
    {names::kChargingStatusAnswer,
     {{{names::kChargingStatusKey, 'i'}, {names::kDischargingStatusKey, 'i'}}}},
    {names::kOpenSMCAnswer, {{{names::kSmcOpenCloseKey, 's'}}}},
    {names::kCloseSMCAnswer, {{{names::kSmcOpenCloseKey, 's'}}}, true},
    {names::kSMCStatusAnswer, {{{names::kSmcStatusKey, 'x'}}}},
    {names::kSetEnableChargingAnswer, {{{names::kSmcCtrlStatusKey, 's'}}}, true},
    {names::kSetDisableChargingAnswer, {{{names::kSmcCtrlStatusKey, 's'}}}, true},
    {names::kSetEnableDischargingAnswer, {{{names::kSmcCtrlStatusKey, 's'}}}, true},
    {names::kSetEnableChargingLimitMaxAnswer, {{{names::kSmcCtrlStatusKey, 's'}}}, true},
    {names::kSetDisableChargingLimitMaxAnswer, {{{names::kSmcCtrlStatusKey, 's'}}}, true},
    {names::kUninstallHelperAnswer, {{{names::kUninstallSelfKey, 'i'}}}},
    // "version" and "buildVersion" only when the build names them.
    {names::kDaemonLoadStatusAnswer,
     {{{names::kStatusKey, 'i'}, {names::kVersionKey, 's'}, {names::kBuildVersionKey, 's'}}}},
    {names::kGlobalDaemonLoadStatusAnswer,
     {{{names::kStatusKey, 'i'}, {names::kVersionKey, 's'}, {names::kBuildVersionKey, 's'}}}},
    {names::kRestartAnswer, {{{names::kRestartKey, 's'}}}},
};

// In the order the command module registers them.
inline constexpr CommandEntry kCommands[] = {
    {names::kQueryChargingStatus,
     Access::ReadOnly,
     {{{names::kChargingStatusAnswer}}},
     "charging-status"},
    {names::kOpenSMC, Access::Control, {{{names::kOpenSMCAnswer}}}, "open"},
    {names::kCloseSMC, Access::Control, {{{names::kCloseSMCAnswer}}}, "close"},
    {names::kSMCStatus, Access::ReadOnly, {{{names::kSMCStatusAnswer}}}, "smc-status"},
    {names::kSetEnableCharging,
     Access::Control,
     {{{names::kSetEnableChargingAnswer}}},
     "charge on"},
    {names::kSetDisableCharging,
     Access::Control,
     {{{names::kSetDisableChargingAnswer}}},
     "charge off"},
    {names::kSetEnableDischarging,
     Access::Control,
     {{{names::kSetEnableDischargingAnswer, names::kSetDisableChargingAnswer}}},
     "discharge on"},
    {names::kSetDisableDischarging, Access::Control, {}, "discharge off"},
    {names::kSetEnableChargingLimitMax,
     Access::Control,
     {{{names::kSetEnableChargingLimitMaxAnswer}}},
     "limit on"},
    {names::kSetDisableChargingLimitMax,
     Access::Control,
     {{{names::kSetDisableChargingLimitMaxAnswer}}},
     "limit off"},
    // The connection is closed at once; the installation is removed 2.5 s later.
    {names::kUninstallHelper,
     Access::Uninstall,
     {{{names::kCloseSMCAnswer}, {names::kUninstallHelperAnswer}}},
     "uninstall"},
    {names::kQueryDaemonLoadStatus,
     Access::ReadOnly,
     {{{names::kDaemonLoadStatusAnswer}}},
     "daemon-info"},
    {names::kGlobalQueryDaemonLoadStatus,
     Access::ReadOnly,
     {{{names::kGlobalDaemonLoadStatusAnswer}}},
     "daemon-info --global"},
};

// The row of the command called `name`, or of the command ampwardenctl says with `verb`;
// null for none. (Not constexpr: GCC's UBSan cannot compare their pointers at compile time.)
inline const CommandEntry* findCommand(std::string_view name) {
    for (const CommandEntry& command : kCommands) {
        if (name == command.name) return &command;
    }
    return nullptr;
}

inline const CommandEntry* findVerb(std::string_view verb) {
    for (const CommandEntry& command : kCommands) {
        if (verb == command.verb) return &command;
    }
    return nullptr;
}

inline const AnswerEntry* findAnswer(std::string_view name) {
    for (const AnswerEntry& answer : kAnswers) {
        if (name == answer.name) return &answer;
    }
    return nullptr;
}

constexpr const char* accessName(Access access) {
    switch (access) {
        case Access::ReadOnly:
            return "read-only";
        case Access::Control:
            return "control";
        case Access::Uninstall:
            return "uninstall";
    }
    return "control";
}

}  // namespace ampwarden::protocol
