#pragma once
// Decoded frames filtered and encoded beside the packet loop. Each decoded input stream
// that feeds encoders gets a thread of its own (its stage), fed through a small queue of
// frames; the stage runs the picture or sound path and the encoders of the outputs the
// stream feeds, and hands the encoded packets and its log lines back to the packet loop,
// which writes and delivers them on the task's thread.
#include <array>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/FFmpegStreams.h"

namespace kv::engine {

class TFrameStages {
public:
    static constexpr int FrameDepth = 4;     // frames waiting per stage
    static constexpr int ReturnDepth = 64;   // packets on their way back

    // Whether the run may go through stages: one input file, no frame or size limit, no
    // statistics file, every output in step with its own source, and frame hooks only
    // without a recording time (the loop may read past the end before it learns of it).
    static bool RunAllows(const TCustomFFmpeg& task, const TTranscodeRun& run);
    // The run's stages, started; null when the run keeps to the task's thread.
    static std::unique_ptr<TFrameStages> Start(TCustomFFmpeg& task, TTranscodeRun& run);
    TFrameStages(TCustomFFmpeg& task, TTranscodeRun& run, const std::vector<int>& inputs);
    TFrameStages(const TFrameStages&) = delete;
    TFrameStages& operator=(const TFrameStages&) = delete;
    ~TFrameStages();   // stops what still runs and waits for it

    // The packet loop's side. Push and End wait while the stage's queue is full, writing
    // what comes back meanwhile; they, WriteReturned and Finish raise a stage's error.
    bool Takes(int istIndex) const;
    void Push(int istIndex, AVFrame* frame, const TFrameClock& clock, bool encode);   // takes the frame's data
    void End(int istIndex);   // end of the stream: the stage flushes its encoders and ends
    void WriteReturned();
    void Finish();   // ends every stage and writes everything that came back

    // The stages' side.
    void Return(TOutputStream& ost, AVPacket* pkt);   // takes the packet's data
    // Never waits: a line may come while the libraries' log lock is held.
    void ReturnLine(std::function<void()> deliver);

private:
    struct TJob {
        media::FrameHandle Frame;
        TFrameClock Clock;
        bool Encode = false;
        bool End = false;
    };
    struct TStage {
        int IstIndex = 0;
        std::array<TJob, FrameDepth> Jobs;
        int Head = 0, Count = 0;
        bool EndSent = false, Ended = false;
        media::PacketHandle Packet;
        std::thread Thread;
    };
    struct TReturned {
        TOutputStream* Ost = nullptr;
        media::PacketHandle Packet;
    };

    void Enqueue(int istIndex, AVFrame* frame, const TFrameClock& clock, bool encode, bool end);
    // Waits under the lock until done() holds, writing what comes back meanwhile.
    template <class Done>
    void WaitWritingReturned(std::unique_lock<std::mutex>& lock, Done done);
    void DeliverLines();
    void RunStage(TStage& stage);
    void Work(TStage& stage, TJob& job);
    void WaitUnpaused();
    void Fail(const std::string& text);
    void RaiseFailure();
    void Abort();

    TCustomFFmpeg& task_;
    TTranscodeRun& run_;
    std::vector<std::unique_ptr<TStage>> stages_;
    std::vector<int> stageOf_;   // per input stream: its stage, -1 for none
    std::array<TReturned, ReturnDepth> returned_;
    int returnHead_ = 0, returnCount_ = 0;
    std::vector<std::function<void()>> lines_;   // lines on their way back
    media::PacketHandle writing_;   // the packet loop's record for what it writes
    std::mutex lock_;
    std::condition_variable changed_;
    bool aborted_ = false;
    bool failed_ = false;
    std::string error_;
};

// On a stage's thread: the stage's record for the packets its encoders give, and the
// way back of one of them (taking its data); null elsewhere.
AVPacket* StagePacket();
void ReturnFromStage(TOutputStream& ost, AVPacket* pkt);
// On a stage's thread: hands `deliver` to the packet loop, which runs it on the task's
// thread in order with the stage's packets, and returns true; false elsewhere.
bool ForwardFromStage(std::function<void()> deliver);

}  // namespace kv::engine
