#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "channel/LocalNotificationCenter.h"
#include "fake/FakeDiagnostics.h"
#include "fake/FakeLoginManager.h"
#include "fake/FakeNotificationChannel.h"
#include "fake/FakeProcessRunner.h"
#include "fake/FakeRunLoop.h"
#include "platform/Platform.h"

namespace ampwarden::test {

class FakeDisplayMonitor : public DisplayMonitor {
  public:
    void setReconfigurationCallback(Callback cb) override { callback = std::move(cb); }
    void fire(std::uint32_t flags) {
        if (callback) callback(1, flags);
    }
    Callback callback;
};

class FakeRunningApplications : public RunningApplications {
  public:
    std::vector<std::optional<std::string>> runningApplicationIds() override {
        ++queries;
        return ids;
    }
    std::vector<std::optional<std::string>> ids;
    int queries = 0;
};

class FakeMachineFacts : public MachineFacts {
  public:
    std::string modelName() override { return model; }
    ProcessIds processIds() override { return ids; }
    std::map<std::string, std::string> bundleInfo() override { return bundle; }

    std::string model = "MacBookPro11,1";
    ProcessIds ids;  // root by default
    std::map<std::string, std::string> bundle = {{"CFBundleShortVersionString", "1.0.0"},
                                                 {"CFBundleVersion", "7"}};
};

class FakeSpeechSynthesizer : public SpeechSynthesizer {
  public:
    void startSpeaking(const std::string& text, const std::string& voice) override {
        events.push_back("start " + voice + " " + text);
    }
    void stopSpeaking() override { events.push_back("stop"); }
    void speakAndWait(const std::string& text, const std::string& voice) override {
        events.push_back("wait " + voice + " " + text);
    }
    std::vector<std::string> events;
};

// An SMC service with no device behind it: no "AppleSMC" service is present.
class AbsentSmcService : public SmcService {
  public:
    kern_return_t getMatchingServices(const std::string&, std::vector<io_service_t>& s) override {
        s.clear();
        return 0;
    }
    void objectRelease(io_object_t) override {}
    kern_return_t serviceOpen(io_service_t, std::uint32_t, io_connect_t&) override {
        return kNoDevice;
    }
    kern_return_t serviceClose(io_connect_t) override { return kInvalidDest; }
    kern_return_t callStructMethod(io_connect_t, std::uint32_t, const void*, std::size_t, void*,
                                   std::size_t&) override {
        return kInvalidDest;
    }
    static constexpr kern_return_t kNoDevice = static_cast<kern_return_t>(0xe00002c0);
    static constexpr kern_return_t kInvalidDest = 0x10000003;
};

// The whole in-memory platform. Constructing it installs it as the process's platform;
// destroying it removes it again.
class FakePlatform : public Platform {
  public:
    FakePlatform() {
        Platform::install(this);
        LocalNotificationCenter::defaultCenter().reset();
    }
    ~FakePlatform() override { Platform::install(nullptr); }
    FakePlatform(const FakePlatform&) = delete;
    FakePlatform& operator=(const FakePlatform&) = delete;

    RunLoop& runLoop() override { return clock; }
    NotificationChannel& channel() override { return notifications; }
    LoginManager& loginManager() override { return login; }
    DisplayMonitor& displays() override { return displayMonitor; }
    RunningApplications& applications() override { return apps; }
    MachineFacts& machine() override { return facts; }
    SmcService& smc() override { return smcService ? *smcService : absentSmc; }
    Diagnostics& diagnostics() override { return log; }
    ProcessRunner& processes() override { return processRunner; }
    SpeechSynthesizer& speech() override { return speaker; }

    FakeRunLoop clock;
    FakeNotificationChannel notifications{clock};
    FakeLoginManager login;
    FakeDisplayMonitor displayMonitor;
    FakeRunningApplications apps;
    FakeMachineFacts facts;
    AbsentSmcService absentSmc;
    SmcService* smcService = nullptr;  // a test's own SMC device, when it sets one
    FakeDiagnostics log;
    FakeProcessRunner processRunner;
    FakeSpeechSynthesizer speaker;
};

}  // namespace ampwarden::test
