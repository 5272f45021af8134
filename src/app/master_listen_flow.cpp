// The app's own master capture: record the master onto a temporary track,
// poll it, measure the file, remove the track, hand the measurement on.
//
// Every wait is a loop timer and every request runs off the loop, so the
// loop stays free during a capture of up to 32 bars. Once the bridge has a
// job, any failure sends exactly one cancel before the step fails, so Live
// is restored; what the cancel answers never replaces the cause.
#include "analysis/local_audio_analyzer.h"
#include "app/app_delegate.h"
#include "app/master_capture.h"
#include "bridge/failure.h"
#include "common/json.h"

namespace vantorel {

struct AppDelegate::CaptureRun {
    std::shared_ptr<const BridgeClient> client;
    int bars = 0;
    std::string jobId;
    Instant deadline;
    std::uint64_t epoch = 0;
    std::optional<Json> snapshot;  // as at the start: names the project measured
    std::function<void(Outcome<Json>)> done;
};

void AppDelegate::executeMasterListen(const SafePlanAction& action, std::int64_t revision,
                                      std::function<void(Outcome<Json>)> done) {
    master_capture::CaptureRequest request;
    try {
        request = master_capture::checkedRequest(action);
    } catch (...) {
        done(Outcome<Json>::failure(std::current_exception()));
        return;
    }
    if (!bridge) {
        done(Outcome<Json>::failure(std::make_exception_ptr(BridgeFailure(BridgeFailureCase::invalidResponse))));
        return;
    }
    auto run = std::make_shared<CaptureRun>();
    run->client = bridge;
    run->bars = request.bars;
    run->epoch = epoch();
    run->snapshot = currentSnapshot;
    run->done = std::move(done);
    Json body = {{"bars", request.bars}, {"startTime", request.startTime}, {"expectedRevision", revision},
                 {"confirm", true}};
    bridgeRequest(run->client, "/v1/master-capture/start", "POST", std::move(body), std::nullopt,
                  [this, run](Outcome<Json> outcome) {
                      // Nothing was started: the error goes back unchanged, no cancel.
                      if (!outcome.ok()) {
                          run->done(Outcome<Json>::failure(outcome.error()));
                          return;
                      }
                      auto jobId = json::text(outcome.get(), "jobId");
                      if (!jobId) {
                          run->done(Outcome<Json>::failure(
                              std::make_exception_ptr(BridgeFailure(BridgeFailureCase::invalidResponse))));
                          return;
                      }
                      run->jobId = std::move(*jobId);
                      const Json* snapshot = currentSnapshot ? &*currentSnapshot : nullptr;
                      const Json* context = currentContext.get();
                      run->deadline = now() + master_capture::deadline(run->bars, snapshot, context);
                      pollCapture(run);
                  });
}

void AppDelegate::pollCapture(std::shared_ptr<CaptureRun> run) {
    if (now() >= run->deadline) {
        abortCapture(run, std::make_exception_ptr(BridgeFailure::remote(std::string(master_capture::kTimedOutText))));
        return;
    }
    ++workInFlight_;  // the wait counts as work: the headless controller must not exit during it
    masterCaptureTimer_ = loop_.after(
        master_capture::kPollInterval,
        [this, run] {
            --workInFlight_;
            bridgeRequest(run->client, "/v1/master-capture/status", "POST", Json{{"jobId", run->jobId}}, std::nullopt,
                          [this, run](Outcome<Json> outcome) { captureStatusArrived(run, std::move(outcome)); });
        },
        liveness_.watch());
}

void AppDelegate::captureStatusArrived(std::shared_ptr<CaptureRun> run, Outcome<Json> outcome) {
    if (!outcome.ok()) {
        abortCapture(run, outcome.error());
        return;
    }
    auto status = master_capture::readStatus(outcome.get());
    if (!status) {
        abortCapture(run, std::make_exception_ptr(BridgeFailure(BridgeFailureCase::invalidResponse)));
        return;
    }
    send("masterCaptureProgress", master_capture::progressEvent(run->jobId, *status, run->bars));
    if (status->status == "failed") {
        std::string message = status->errorMessage.value_or(std::string(master_capture::kFailedText));
        abortCapture(run, std::make_exception_ptr(BridgeFailure::remote(std::move(message))));
        return;
    }
    if (status->status != "ready") {
        pollCapture(run);
        return;
    }
    if (!status->filePath) {
        abortCapture(run, std::make_exception_ptr(BridgeFailure(BridgeFailureCase::invalidResponse)));
        return;
    }
    offLoop<Json>(
        Lane::work,
        [file = *status->filePath] { return LocalAudioAnalyzer::analyze(file, 0, 0, std::nullopt).dictionary(); },
        [this, run](Outcome<Json> measured) {
            if (!measured.ok()) {
                abortCapture(run, measured.error());
                return;
            }
            Json measurement = master_capture::measurement(std::move(measured.get()),
                                                           run->snapshot ? &*run->snapshot : nullptr, run->bars);
            // A capture that outlived its set is shown but describes nothing
            // the new set may be judged on.
            if (epoch() == run->epoch) {
                latestAudioMeasurement = measurement;
                if (Json* context = editableContext()) (*context)["audioMeasurement"] = measurement;
            }
            cleanUpCapture(run, std::move(measurement));
        });
}

void AppDelegate::cleanUpCapture(std::shared_ptr<CaptureRun> run, Json measurement) {
    bridgeRequest(run->client, "/v1/master-capture/cleanup", "POST", Json{{"jobId", run->jobId}, {"confirm", true}},
                  std::nullopt, [this, run, measurement = std::move(measurement)](Outcome<Json> outcome) mutable {
                      master_capture::addCleanup(measurement, outcome.ok());
                      send("audioResult", Json{{"ok", true}, {"measurement", measurement}, {"continueChat", false}});
                      Json result = {{"audioMeasurement", std::move(measurement)}, {"undoAvailable", false}};
                      // Adding and removing the track moved the revision: the
                      // next step must expect the new one. Without it (cleanup
                      // refused) the next write is refused as stale, which is safe.
                      if (outcome.ok()) {
                          if (auto revision = json::integer(outcome.get(), "revision")) result["revision"] = *revision;
                      }
                      run->done(Outcome<Json>::success(std::move(result)));
                  });
}

void AppDelegate::abortCapture(std::shared_ptr<CaptureRun> run, std::exception_ptr cause) {
    bridgeRequest(run->client, "/v1/master-capture/cancel", "POST", Json{{"jobId", run->jobId}, {"confirm", true}},
                  std::nullopt, [run, cause](Outcome<Json>) { run->done(Outcome<Json>::failure(cause)); });
}

}  // namespace vantorel
