#pragma once
// The answer of a status server (/status) as tarvell --status reads it: every field it
// prints, checked for its type before it is used, so that an answer from another program, an
// older or newer version, or a broken connection gives a clear message instead of a crash.
// Any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarvell
{

struct StatusAnswerChannel
{
    std::string station;
    std::string channel;
    std::string server;
    std::string file;
    std::optional<double> lastSampleTime; // null: no data yet
    std::optional<double> latency;
    bool stalled = false;
    bool held = false;      // not archived for a fault of its own
    bool elsewhere = false; // archived by another instance of the fleet
};

struct StatusAnswerLink
{
    std::string server;
    std::int64_t port = 0;
    std::string state;
    std::int64_t reconnects = 0;
    bool heldHere = true;
    std::string holder; // the instance of the fleet that holds its lease; empty: none
};

struct StatusAnswer
{
    std::string version;
    std::string summary;
    bool databaseReachable = false;
    std::int64_t databaseOutages = 0;
    bool dataRootMissing = false;
    std::int64_t notAcquired = 0; // configured names left out (0 from older programs)
    std::int64_t stalledChannels = 0;
    std::int64_t heldChannels = 0;
    std::string instance; // the instance's name in its fleet
    std::vector<StatusAnswerLink> links;
    std::vector<StatusAnswerChannel> channels;
};

// Reads body into *answer. Returns false with *problem naming what is wrong (no JSON, or the
// first field that is missing or has another type: "channels[2].stalled is no true or
// false"). Never throws.
bool ReadStatusAnswer(const std::string& body, StatusAnswer* answer, std::string* problem);

} // namespace tarvell
