#pragma once

namespace ampwarden::ctl {

// What the battery app knows of the helper.
enum class HelperState {
    NotHeardFrom,  // no answer to the app's status question yet
    Running,       // it answered; "open" not answered yet
    SmcOpen,       // it opened the SMC for the app
    SmcNotOpen,    // it answered "open" but could not reach the SMC
    NotAnswering,  // it did not answer "open" in time
};

inline const char* helperStateName(HelperState state) {
    switch (state) {
        case HelperState::NotHeardFrom:
            return "not heard from";
        case HelperState::Running:
            return "running";
        case HelperState::SmcOpen:
            return "running, SMC open";
        case HelperState::SmcNotOpen:
            return "running, SMC not open";
        case HelperState::NotAnswering:
            return "not answering";
    }
    return "not heard from";
}

}  // namespace ampwarden::ctl
