#pragma once
// A queue of demuxed packets of one stream kind, bounded by its byte size; entries
// are kept for reuse, so a queue in steady state allocates nothing.
#include <atomic>
#include <cstdint>

#include "player/LibSDL.h"
#include "player/SdlHandles.h"

struct AVPacket;

namespace kv::player {

// What every entry adds to the size beside its packet's data.
constexpr int PacketEntryCharge = 72;

// The data pointer that marks a flush request in a queue.
extern const char FlushMarkerText[];
bool IsFlushPacket(const AVPacket* packet);
// The data pointer that marks the end of the input: the decoder gives out what it holds.
extern const char EndMarkerText[];
bool IsEndPacket(const AVPacket* packet);

struct TPacketEntry {
    media::Viewed<media::PacketHandle> Pkt;
    TPacketEntry* Next = nullptr;
};

struct TPacketQueue {
    TPacketEntry* First;
    TPacketEntry* Last;
    int Count;
    int Size;
    std::atomic<int> AbortRequest;
    SdlMutexHandle Mutex;
    SdlCondHandle Cond;
    TPacketEntry* Spare;  // emptied entries, ready for the next packet
};

void PacketQueueInit(TPacketQueue& q);
// Appends `packet`, taking its reference over (a flush marker is copied as it is).
// 0, or -1 when the packet cannot be kept (it is then left with the caller).
int PacketQueuePut(TPacketQueue& q, AVPacket* packet);
// 1 with the oldest packet moved into `packet`, 0 when empty and not blocking,
// -1 once the queue is aborted.
int PacketQueueGet(TPacketQueue& q, AVPacket* packet, bool block);
void PacketQueueFlush(TPacketQueue& q);
// Puts a marker packet (flush or end) into `q`.
// `tag` travels with the marker in the packet's pos (a flush carries its seek's serial).
int PacketQueuePutMarker(TPacketQueue& q, const char* marker, std::int64_t tag = 0);
void PacketQueueAbort(TPacketQueue& q);
// Flushes and releases everything, the lock and the condition too.
void PacketQueueEnd(TPacketQueue& q);
// Size and count read under the lock.
int PacketQueueSize(TPacketQueue& q);
int PacketQueueCount(TPacketQueue& q);
inline bool PacketQueueAborted(const TPacketQueue& q) { return q.AbortRequest.load() != 0; }

}  // namespace kv::player
