#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ProcessRunner.h"

namespace ampwarden::test {

// `handler` decides each blocking run's outcome (none = could not start). Nothing the tests
// reach starts a child without waiting for it, so starting always fails.
class FakeProcessRunner : public ProcessRunner {
  public:
    std::optional<ProcessResult> run(const std::vector<std::string>& argv) override {
        return handler ? handler(argv) : ProcessResult{};
    }
    std::unique_ptr<ChildProcess> start(const std::vector<std::string>&) override {
        return nullptr;
    }

    std::function<std::optional<ProcessResult>(const std::vector<std::string>&)> handler;
};

}  // namespace ampwarden::test
