// Encoding and decoding of the probe child's records. Both ends are the same
// binary, so fixed-layout payloads are copied byte for byte.
#include "tools/inspect/probe_wire.h"

#include <cstring>

namespace {

enum RecordType : uint8_t { REC_OPENED = 1, REC_EVENT = 2, REC_LOADED = 3 };

const size_t HEADER_SIZE = 1 + sizeof(uint32_t);

struct LoadedPayload {
  int32_t result;
  _LoadParmsOut out;
  int64_t loadTimeMs;
};

std::string record(RecordType type, const void* payload, size_t size, const std::string& tail = std::string()) {
  const uint32_t length = static_cast<uint32_t>(size + tail.size());
  std::string bytes(1, static_cast<char>(type));
  bytes.append(reinterpret_cast<const char*>(&length), sizeof(length));
  bytes.append(static_cast<const char*>(payload), size);
  bytes += tail;
  return bytes;
}

}  // namespace

std::string encodeOpened(bool loads, uint8_t entryMask, const std::string& loaderError) {
  const uint8_t head[2] = {static_cast<uint8_t>(loads ? 1 : 0), entryMask};
  return record(REC_OPENED, head, sizeof(head), loaderError);
}

std::string encodeEvent(const EventSummary& event) { return record(REC_EVENT, &event, sizeof(event)); }

std::string encodeLoaded(int32_t result, const _LoadParmsOut& out, int64_t loadTimeMs) {
  LoadedPayload payload;
  memset(&payload, 0, sizeof(payload));
  payload.result = result;
  payload.out = out;
  payload.loadTimeMs = loadTimeMs;
  return record(REC_LOADED, &payload, sizeof(payload));
}

bool decodeRecords(const std::string& bytes, ModuleProbe* probe, size_t maxEvents) {
  size_t at = 0;
  while (bytes.size() - at >= HEADER_SIZE) {
    const uint8_t type = static_cast<uint8_t>(bytes[at]);
    uint32_t length;
    memcpy(&length, bytes.data() + at + 1, sizeof(length));
    if (bytes.size() - at - HEADER_SIZE < length) break;  // cut off
    const char* payload = bytes.data() + at + HEADER_SIZE;
    at += HEADER_SIZE + length;
    switch (type) {
      case REC_OPENED:
        if (length < 2) return false;
        probe->openReported = true;
        probe->loads = payload[0] != 0;
        probe->entryMask = static_cast<uint8_t>(payload[1]);
        probe->loaderError.assign(payload + 2, length - 2);
        break;
      case REC_EVENT: {
        if (length != sizeof(EventSummary)) return false;
        if (probe->events.size() >= maxEvents) {
          ++probe->eventsNotListed;
          break;
        }
        EventSummary event;
        memcpy(&event, payload, sizeof(event));
        if (event.previewLength > EVENT_PREVIEW_BYTES) return false;
        probe->events.push_back(event);
        break;
      }
      case REC_LOADED: {
        if (length != sizeof(LoadedPayload)) return false;
        LoadedPayload loaded;
        memcpy(&loaded, payload, sizeof(loaded));
        probe->loadReturned = true;
        probe->loadResult = loaded.result;
        probe->loadOut = loaded.out;
        probe->loadTimeMs = loaded.loadTimeMs;
        break;
      }
      default:
        return false;
    }
  }
  return true;
}
