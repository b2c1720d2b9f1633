// The frame stages of a transcode: their queues, their threads and the way back of
// what they make.
#include "engine/FrameStages.h"

#include <algorithm>
#include <chrono>

#include "media/AVCodecStubs.h"
#include "media/AVUtilStubs.h"

namespace kv::engine {

TTranscodeRun::TTranscodeRun() = default;
TTranscodeRun::~TTranscodeRun() = default;

namespace {

struct TStageThread {
    TFrameStages* Stages = nullptr;
    AVPacket* Packet = nullptr;   // the stage's record for what its encoders give
};
thread_local TStageThread CurrentStage;

bool MediaStream(AVMediaType type)
{
    return type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO;
}

// A task with at least two cores to itself: alone on the machine (the libraries choose
// the codecs' threads) or given two or more by the component.
bool MachineAllows(const TCustomFFmpeg& task)
{
    if (task.FrameStages >= 0) return task.FrameStages > 0;
    if (av::av_cpu_count() < 2) return false;
    return task.TaskThreadCount == TCustomFFmpeg::AutomaticThreads || task.TaskThreadCount >= 2;
}

bool HooksActive(const TCustomFFmpeg& task)
{
    return task.UsingVHook || task.CustomHookHandler || task.BeforeHookHandler || !task.TimeRanges.empty();
}

// The input streams whose decoded frames go to encoders.
std::vector<int> EncodedInputs(const TTranscodeRun& run)
{
    std::vector<int> inputs;
    for (std::size_t i = 0; i < run.InputStreamTable.size(); ++i) {
        const TInputStream& ist = *run.InputStreamTable[i];
        if (!ist.NeedsDecoding || !ist.Decoder || !MediaStream(ist.Stream->codecpar->codec_type)) continue;
        const bool encoded = std::any_of(run.OutputStreamTable.begin(), run.OutputStreamTable.end(), [&](const auto& o) {
            return o->SourceIndex == static_cast<int>(i) && o->NeedsEncoding && MediaStream(o->Encoder->codec_type);
        });
        if (encoded) inputs.push_back(static_cast<int>(i));
    }
    return inputs;
}

}  // namespace

AVPacket* StagePacket()
{
    return CurrentStage.Packet;
}

void ReturnFromStage(TOutputStream& ost, AVPacket* pkt)
{
    CurrentStage.Stages->Return(ost, pkt);
}

bool ForwardFromStage(std::function<void()> deliver)
{
    if (!CurrentStage.Stages) return false;
    CurrentStage.Stages->ReturnLine(std::move(deliver));
    return true;
}

bool TFrameStages::RunAllows(const TCustomFFmpeg& task, const TTranscodeRun& run)
{
    if (task.InputFileCount != 1 || task.LimitFileSize != 0 || !task.VStatsFileName.empty()) return false;
    if (std::any_of(task.MaxFrames.begin(), task.MaxFrames.end(), [](int n) { return n != 2147483647; })) return false;
    if (task.RecordingTime != INT64_MAX && HooksActive(task)) return false;
    return std::all_of(run.OutputStreamTable.begin(), run.OutputStreamTable.end(), [&](const auto& ost) {
        return !ost->NeedsEncoding || ost->SyncInput == run.InputStreamTable[ost->SourceIndex].get();
    });
}

std::unique_ptr<TFrameStages> TFrameStages::Start(TCustomFFmpeg& task, TTranscodeRun& run)
{
    if (!MachineAllows(task) || !RunAllows(task, run)) return nullptr;
    const std::vector<int> inputs = EncodedInputs(run);
    if (inputs.empty()) return nullptr;
    return std::make_unique<TFrameStages>(task, run, inputs);
}

TFrameStages::TFrameStages(TCustomFFmpeg& task, TTranscodeRun& run, const std::vector<int>& inputs)
    : task_(task), run_(run), stageOf_(run.InputStreamTable.size(), -1), writing_(av::av_packet_alloc())
{
    bool allocated = static_cast<bool>(writing_);
    for (TReturned& r : returned_) allocated = allocated && (r.Packet = media::PacketHandle(av::av_packet_alloc()));
    for (int ist : inputs) {
        auto stage = std::make_unique<TStage>();
        stage->IstIndex = ist;
        stage->Packet.reset(av::av_packet_alloc());
        allocated = allocated && stage->Packet;
        for (TJob& job : stage->Jobs) allocated = allocated && (job.Frame = media::FrameHandle(av::av_frame_alloc()));
        stageOf_[static_cast<std::size_t>(ist)] = static_cast<int>(stages_.size());
        stages_.push_back(std::move(stage));
    }
    if (!allocated) throw FFmpegException("av_malloc fail");
    for (auto& stage : stages_) {
        TStage* s = stage.get();
        s->Thread = std::thread([this, s] { RunStage(*s); });
    }
}

TFrameStages::~TFrameStages()
{
    Abort();
}

void TFrameStages::Abort()
{
    {
        std::lock_guard lock(lock_);
        aborted_ = true;
    }
    changed_.notify_all();
    for (auto& stage : stages_)
        if (stage->Thread.joinable()) stage->Thread.join();
}

bool TFrameStages::Takes(int istIndex) const
{
    return istIndex >= 0 && istIndex < static_cast<int>(stageOf_.size()) && stageOf_[static_cast<std::size_t>(istIndex)] >= 0;
}

void TFrameStages::Push(int istIndex, AVFrame* frame, const TFrameClock& clock, bool encode)
{
    Enqueue(istIndex, frame, clock, encode, false);
}

void TFrameStages::End(int istIndex)
{
    Enqueue(istIndex, nullptr, TFrameClock{}, false, true);
}

template <class Done>
void TFrameStages::WaitWritingReturned(std::unique_lock<std::mutex>& lock, Done done)
{
    while (!done()) {
        if (returnCount_ > 0 || !lines_.empty()) {
            // A stage may be waiting for room on the way back: make it.
            lock.unlock();
            WriteReturned();
            lock.lock();
            continue;
        }
        changed_.wait(lock);
    }
}

void TFrameStages::Enqueue(int istIndex, AVFrame* frame, const TFrameClock& clock, bool encode, bool end)
{
    TStage& stage = *stages_[static_cast<std::size_t>(stageOf_[static_cast<std::size_t>(istIndex)])];
    std::unique_lock lock(lock_);
    WaitWritingReturned(lock, [&] { return failed_ || stage.Count < FrameDepth; });
    if (failed_) {
        lock.unlock();
        RaiseFailure();
    }
    TJob& job = stage.Jobs[static_cast<std::size_t>((stage.Head + stage.Count) % FrameDepth)];
    if (frame) av::av_frame_move_ref(job.Frame.get(), frame);
    job.Clock = clock;
    job.Encode = encode;
    job.End = end;
    stage.Count += 1;
    if (end) stage.EndSent = true;
    lock.unlock();
    changed_.notify_all();
}

void TFrameStages::DeliverLines()
{
    std::vector<std::function<void()>> lines;
    {
        std::lock_guard lock(lock_);
        lines.swap(lines_);
    }
    for (auto& line : lines) line();
}

void TFrameStages::WriteReturned()
{
    for (;;) {
        DeliverLines();
        TOutputStream* ost = nullptr;
        {
            std::lock_guard lock(lock_);
            if (returnCount_ == 0) break;
            TReturned& r = returned_[static_cast<std::size_t>(returnHead_)];
            ost = r.Ost;
            av::av_packet_move_ref(writing_.get(), r.Packet.get());
            returnHead_ = (returnHead_ + 1) % ReturnDepth;
            returnCount_ -= 1;
        }
        changed_.notify_all();
        transcode::TakeEncoded(task_, *ost, writing_.get());
        av::av_packet_unref(writing_.get());
    }
    RaiseFailure();
}

void TFrameStages::Finish()
{
    for (auto& stage : stages_)
        if (!stage->EndSent) End(stage->IstIndex);
    std::unique_lock lock(lock_);
    WaitWritingReturned(lock, [this] {
        return std::all_of(stages_.begin(), stages_.end(), [](const auto& s) { return s->Ended; });
    });
    lock.unlock();
    for (auto& stage : stages_) stage->Thread.join();
    WriteReturned();
}

void TFrameStages::Return(TOutputStream& ost, AVPacket* pkt)
{
    std::unique_lock lock(lock_);
    changed_.wait(lock, [this] { return returnCount_ < ReturnDepth || aborted_; });
    if (aborted_) {
        av::av_packet_unref(pkt);
        return;
    }
    TReturned& r = returned_[static_cast<std::size_t>((returnHead_ + returnCount_) % ReturnDepth)];
    r.Ost = &ost;
    av::av_packet_move_ref(r.Packet.get(), pkt);
    returnCount_ += 1;
    lock.unlock();
    changed_.notify_all();
}

void TFrameStages::ReturnLine(std::function<void()> deliver)
{
    {
        std::lock_guard lock(lock_);
        if (aborted_) return;
        lines_.push_back(std::move(deliver));
    }
    changed_.notify_all();
}

void TFrameStages::RunStage(TStage& stage)
{
    CurrentStage = {this, stage.Packet.get()};
    for (;;) {
        TJob* job = nullptr;
        bool skip = false;
        {
            std::unique_lock lock(lock_);
            changed_.wait(lock, [&] { return stage.Count > 0 || aborted_; });
            if (aborted_) break;
            job = &stage.Jobs[static_cast<std::size_t>(stage.Head)];
            skip = failed_;
        }
        const bool end = job->End;
        if (!end) WaitUnpaused();
        // A stop ends the frames at once; the encoders are still flushed, as without stages.
        skip = skip || (!end && task_.StopRequested);
        if (!skip) Work(stage, *job);
        av::av_frame_unref(job->Frame.get());
        {
            std::lock_guard lock(lock_);
            stage.Head = (stage.Head + 1) % FrameDepth;
            stage.Count -= 1;
            if (end) stage.Ended = true;
        }
        changed_.notify_all();
        if (end) break;
    }
    CurrentStage = {};
}

void TFrameStages::Work(TStage& stage, TJob& job)
{
    TInputStream& ist = *run_.InputStreamTable[static_cast<std::size_t>(stage.IstIndex)];
    try {
        if (job.End) transcode::FlushEncoders(task_, run_, stage.IstIndex);
        else transcode::EncodeFrame(task_, run_, ist, stage.IstIndex, job.Frame.get(), job.Clock, job.Encode);
    } catch (const std::exception& e) {
        Fail(e.what());
    } catch (...) {
        Fail(ist.Stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO ? "Video encoding failed" : "Audio encoding failed");
    }
}

// Pause holds every stage between frames, as it holds the packet loop.
void TFrameStages::WaitUnpaused()
{
    while (task_.IsPaused()) {
        {
            std::lock_guard lock(lock_);
            if (aborted_) return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void TFrameStages::Fail(const std::string& text)
{
    {
        std::lock_guard lock(lock_);
        if (!failed_) error_ = text;
        failed_ = true;
    }
    changed_.notify_all();
}

void TFrameStages::RaiseFailure()
{
    std::string text;
    {
        std::lock_guard lock(lock_);
        if (!failed_) return;
        text = error_;
    }
    throw FFmpegException(text);
}

}  // namespace kv::engine
