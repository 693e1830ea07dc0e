#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fake/FakeCommandAuthority.h"
#include "fake/FakeDiagnostics.h"
#include "fake/FakeLoginManager.h"
#include "fake/FakeNotificationChannel.h"
#include "fake/FakeProcessRunner.h"
#include "fake/FakeRunLoop.h"
#include "fake/FakeSmcDevice.h"
#include "platform/ForwardingSmcService.h"
#include "platform/LocalNotificationCenter.h"
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

// Answers at once: the app with the id `running` is held by `owners`; with `failure` set it
// cannot tell.
class FakeRunningApplications : public RunningApplications {
  public:
    void findApplication(const std::string& id, LookupCallback done) override {
        using State = ApplicationLookup::State;
        if (!failure.empty()) return done({State::Unknown, {}, failure});
        if (id == running) return done({State::Running, owners, ""});
        done({State::NotRunning, {}, ""});
    }
    std::string running, failure;
    std::vector<std::string> owners = {":1.0"};  // the holder first, then those waiting
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

// Silent: nothing in the helper speaks.
class SilentSpeechSynthesizer : public SpeechSynthesizer {
  public:
    void startSpeaking(const std::string&, const std::string&) override {}
    void stopSpeaking() override {}
    void speakAndWait(const std::string&, const std::string&) override {}
};

// The whole in-memory platform, whose roles the objects under test take.
class FakePlatform : public Platform {
  public:
    FakePlatform() { absentSmc.present = false; }
    FakePlatform(const FakePlatform&) = delete;
    FakePlatform& operator=(const FakePlatform&) = delete;

    RunLoop& runLoop() override { return clock; }
    NotificationChannel& channel() override { return notifications; }
    LoginManager& loginManager() override { return login; }
    DisplayMonitor& displays() override { return displayMonitor; }
    RunningApplications& applications() override { return apps; }
    MachineFacts& machine() override { return facts; }
    SmcService& smc() override { return currentSmc; }
    Diagnostics& diagnostics() override { return log; }
    ProcessRunner& processes() override { return processRunner; }
    SpeechSynthesizer& speech() override { return speaker; }
    CommandAuthority& authority() override { return authorities; }

    FakeRunLoop clock;
    FakeNotificationChannel notifications{clock};
    FakeLoginManager login;
    FakeDisplayMonitor displayMonitor;
    FakeRunningApplications apps;
    FakeMachineFacts facts;
    FakeSmcDevice absentSmc;           // no "AppleSMC" service: opening fails
    SmcService* smcService = nullptr;  // a test's own SMC device, when it sets one
    // An SMC built on smc() follows the test from one device to the next.
    ForwardingSmcService currentSmc{
        [this]() -> SmcService& { return smcService ? *smcService : absentSmc; }};
    FakeDiagnostics log;
    FakeProcessRunner processRunner;
    SilentSpeechSynthesizer speaker;
    FakeCommandAuthority authorities{clock};
    LocalNotificationCenter center;  // the process-local one, which objects take like a role
};

}  // namespace ampwarden::test
