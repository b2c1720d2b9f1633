#include "player/PacketQueue.h"

#include <memory>
#include <new>

#include "media/AVCodecStubs.h"

namespace kv::player {

const char FlushMarkerText[] = "FLUSH";

bool IsFlushPacket(const AVPacket* packet)
{
    return packet->data == reinterpret_cast<const std::uint8_t*>(FlushMarkerText);
}

const char EndMarkerText[] = "END";

bool IsEndPacket(const AVPacket* packet)
{
    return packet->data == reinterpret_cast<const std::uint8_t*>(EndMarkerText);
}

namespace {

bool IsMarker(const AVPacket* packet)
{
    return IsFlushPacket(packet) || IsEndPacket(packet);
}

// An entry from the spare list or a new one; null when memory ran out.
TPacketEntry* TakeEntry(TPacketQueue& q)
{
    sdl::SDL_mutexP(q.Mutex);
    TPacketEntry* e = q.Spare;
    if (e) q.Spare = e->Next;
    sdl::SDL_mutexV(q.Mutex);
    if (e) return e;
    std::unique_ptr<TPacketEntry> made(new (std::nothrow) TPacketEntry);
    if (!made) return nullptr;
    made->Pkt.reset(av::av_packet_alloc());
    return made->Pkt ? made.release() : nullptr;
}

// Caller holds the lock.
void KeepSpare(TPacketQueue& q, TPacketEntry* e)
{
    e->Next = q.Spare;
    q.Spare = e;
}

void FreeEntries(TPacketEntry* e)
{
    while (e) {
        TPacketEntry* next = e->Next;
        delete e;
        e = next;
    }
}

}  // namespace

void PacketQueueInit(TPacketQueue& q)
{
    q.First = q.Last = nullptr;
    q.Count = q.Size = 0;
    q.AbortRequest = 0;
    q.Spare = nullptr;
    q.Mutex.reset(sdl::SDL_CreateMutex());
    q.Cond.reset(sdl::SDL_CreateCond());
}

int PacketQueuePut(TPacketQueue& q, AVPacket* packet)
{
    const bool flush = IsMarker(packet);
    if (!flush && av::av_packet_make_refcounted(packet) < 0) return -1;
    TPacketEntry* e = TakeEntry(q);
    if (!e) return -1;
    if (flush) {
        av::av_packet_unref(e->Pkt);
        e->Pkt->data = packet->data;
        e->Pkt->size = 0;
        e->Pkt->pos = packet->pos;
    } else {
        av::av_packet_move_ref(e->Pkt, packet);
    }
    e->Next = nullptr;
    sdl::SDL_mutexP(q.Mutex);
    if (q.Last)
        q.Last->Next = e;
    else
        q.First = e;
    q.Last = e;
    q.Count++;
    q.Size += e->Pkt->size + PacketEntryCharge;
    sdl::SDL_CondSignal(q.Cond);
    sdl::SDL_mutexV(q.Mutex);
    return 0;
}

int PacketQueueGet(TPacketQueue& q, AVPacket* packet, bool block)
{
    int ret = 0;
    sdl::SDL_mutexP(q.Mutex);
    for (;;) {
        if (q.AbortRequest) {
            ret = -1;
            break;
        }
        TPacketEntry* e = q.First;
        if (e) {
            q.First = e->Next;
            if (!q.First) q.Last = nullptr;
            q.Count--;
            q.Size -= e->Pkt->size + PacketEntryCharge;
            av::av_packet_unref(packet);
            av::av_packet_move_ref(packet, e->Pkt);
            KeepSpare(q, e);
            ret = 1;
            break;
        }
        if (!block) break;
        sdl::SDL_CondWait(q.Cond, q.Mutex);
    }
    sdl::SDL_mutexV(q.Mutex);
    return ret;
}

void PacketQueueFlush(TPacketQueue& q)
{
    sdl::SDL_mutexP(q.Mutex);
    for (TPacketEntry* e = q.First; e;) {
        TPacketEntry* next = e->Next;
        if (IsMarker(e->Pkt))
            e->Pkt->data = nullptr;
        else
            av::av_packet_unref(e->Pkt);
        KeepSpare(q, e);
        e = next;
    }
    q.First = q.Last = nullptr;
    q.Count = 0;
    q.Size = 0;
    sdl::SDL_mutexV(q.Mutex);
}

int PacketQueuePutMarker(TPacketQueue& q, const char* marker, std::int64_t tag)
{
    AVPacket packet{};
    packet.data = reinterpret_cast<std::uint8_t*>(const_cast<char*>(marker));
    packet.pos = tag;
    return PacketQueuePut(q, &packet);
}

void PacketQueueAbort(TPacketQueue& q)
{
    sdl::SDL_mutexP(q.Mutex);
    q.AbortRequest = 1;
    sdl::SDL_CondSignal(q.Cond);
    sdl::SDL_mutexV(q.Mutex);
}

void PacketQueueEnd(TPacketQueue& q)
{
    if (!q.Mutex) return;
    PacketQueueFlush(q);
    FreeEntries(q.Spare);
    q.Spare = nullptr;
    q.Mutex = nullptr;
    q.Cond = nullptr;
}

int PacketQueueSize(TPacketQueue& q)
{
    sdl::SDL_mutexP(q.Mutex);
    const int size = q.Size;
    sdl::SDL_mutexV(q.Mutex);
    return size;
}

int PacketQueueCount(TPacketQueue& q)
{
    sdl::SDL_mutexP(q.Mutex);
    const int count = q.Count;
    sdl::SDL_mutexV(q.Mutex);
    return count;
}

}  // namespace kv::player
