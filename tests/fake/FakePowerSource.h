#pragma once

#include <string>

#include "ampwardenctl/PowerSource.h"

namespace ampwarden::test {

// A battery the test moves by hand with set().
class FakePowerSource : public ctl::PowerSource {
  public:
    bool start(Handler handler, std::string&) override {
        handler_ = std::move(handler);
        set(reading);
        return true;
    }
    const ctl::PowerReading& last() const override { return reading; }
    const char* name() const override { return "a fake"; }

    void set(const ctl::PowerReading& now) {
        reading = now;
        if (handler_) handler_(reading);
    }

    ctl::PowerReading reading;

  private:
    Handler handler_;
};

}  // namespace ampwarden::test
