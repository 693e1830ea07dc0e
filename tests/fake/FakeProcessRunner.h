#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ProcessRunner.h"

namespace ampwarden::test {

// Records every command; `handler` decides each blocking run's outcome (none = could not
// start). Started children are recorded and stay "running" until terminated.
class FakeProcessRunner : public ProcessRunner {
  public:
    using Handler = std::function<std::optional<ProcessResult>(const std::vector<std::string>&)>;

    struct Started {
        std::vector<std::string> argv;
        bool terminated = false;
        bool waited = false;
    };

    std::optional<ProcessResult> run(const std::vector<std::string>& argv) override {
        ran.push_back(argv);
        if (handler) return handler(argv);
        return ProcessResult{};
    }

    std::unique_ptr<ChildProcess> start(const std::vector<std::string>& argv) override {
        if (!startSucceeds) return nullptr;
        started.push_back(std::make_shared<Started>(Started{argv}));
        return std::make_unique<FakeChild>(started.back());
    }

    Handler handler;
    bool startSucceeds = true;
    std::vector<std::vector<std::string>> ran;
    std::vector<std::shared_ptr<Started>> started;

  private:
    class FakeChild : public ChildProcess {
      public:
        explicit FakeChild(std::shared_ptr<Started> record) : record_(std::move(record)) {}
        bool running() override { return !record_->terminated && !record_->waited; }
        void terminate() override { record_->terminated = true; }
        int wait() override {
            record_->waited = true;
            return 0;
        }

      private:
        std::shared_ptr<Started> record_;
    };
};

}  // namespace ampwarden::test
