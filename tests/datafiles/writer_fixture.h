#pragma once
// A test world for the data-file side: the configuration loaded from a program INI whose
// [DATA] DIR is the data root, packets made up with known sample values, and the files and
// FILELIST rows read back. Main test thread only (Send may also run on one thread per
// station).

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/load_groups.h"
#include "config/model_fixture.h"
#include "config/station_groups.h"
#include "datafiles/channel_writer.h"
#include "datafiles/chunk_journal.h"
#include "datafiles/resume_store.h"
#include "db/connection.h"
#include "link/waveform_packet.h"
#include "platform/text.h"

namespace tarvell::test
{

// 2026-12-07 13:04:55 UTC.
inline constexpr double kT0 = 1796648695.0;

struct FileRow
{
    std::string path;
    double begin = 0;
    double seconds = 0;
    double rate = 0;
    long long offset = 0;
    std::string channel;
};

class WriterTest : public ModelTest
{
protected:
    void SetUp() override
    {
        ModelTest::SetUp();
        ResetResumeStoreForTest();
        // A test that limits the file size must get EFBIG, not the signal that ends it.
        std::signal(SIGXFSZ, SIG_IGN);
    }

    // Writes the program INI (with [DATA] DIR = the data root) and loads the groups, their
    // writing state reset as an acquisition thread does when it starts.
    void Configure(const std::string& groups)
    {
        WriteIni("[DATA]\nDIR=" + g_waveRoot + "\n" + groups);
        LoadGroups();
        for (auto& group : g_groups)
        {
            for (auto& channel : group->channels)
                channel->ResetWritingState();
        }
    }

    CChannelRecord& Channel(const std::string& station, const std::string& channel)
    {
        ChannelLocation where = FindChannel(station, channel);
        EXPECT_TRUE(where) << station << " " << channel;
        return *where.channel;
    }

    // Merges a packet of count samples beginning at begin; a sample's value is the number of
    // sample intervals from kT0 to its time, so that every sample can be found again, also
    // when it is sent twice.
    void Send(const std::string& station, const std::string& channel, double begin, double interval,
              int count)
    {
        Send(station, channel, begin, interval, count, m_journal);
    }

    // The same through the journal of another thread (each acquisition thread has its own).
    void Send(const std::string& station, const std::string& channel, double begin, double interval,
              int count, CChunkJournal& journal)
    {
        std::vector<std::int32_t> values(static_cast<std::size_t>(count));
        {
            std::lock_guard lock(m_sentLock);
            std::vector<float>& sent = m_sent[station + "/" + channel];
            for (std::size_t i = 0; i < values.size(); ++i)
            {
                values[i] = static_cast<std::int32_t>(std::llround((begin - kT0) / interval) +
                                                      static_cast<long long>(i));
                sent.push_back(static_cast<float>(values[i]));
            }
        }
        auto packet = std::make_unique<WaveformPacket>();
        CopyToField(packet->station, sizeof packet->station, station);
        CopyToField(packet->channel, sizeof packet->channel, channel);
        packet->sampleInterval = interval;
        packet->sampleIntervalUs = static_cast<std::uint32_t>(std::llround(interval * 1e6));
        packet->calib = 1.5f;
        packet->calper = 2.0f;
        packet->beginTime = begin;
        packet->endTime = begin + (count - 1) * interval;
        packet->count = count;
        packet->wordSize = 4;
        packet->samples = values.data();
        // The acquisition thread drops packets of channels that are not configured.
        if (ChannelLocation where = FindChannel(station, channel))
            m_last = MergePacket(*packet, where, journal);
        journal.Commit();
        (void)WriteResumeTimes();
    }

    // Writes the buffered chunk of the channel now and commits it.
    bool Flush(std::size_t group, std::size_t channel)
    {
        CStationGroup* station = g_groups[group].get();
        const bool written =
            FlushChannel({group, channel, station, station->channels[channel].get()}, m_journal);
        Commit();
        return written;
    }

    // Commits what the journal holds and writes the resume times, as the acquisition thread
    // does about once a second: the tests look at rows and the INI right after each packet.
    void Commit()
    {
        m_journal.Commit();
        (void)WriteResumeTimes();
    }

    CChunkJournal m_journal;
    std::atomic<bool> m_last{true}; // what the last MergePacket returned

    // The values sent so far for the channel.
    std::vector<float> Sent(const std::string& station, const std::string& channel)
    {
        std::lock_guard lock(m_sentLock);
        return m_sent[station + "/" + channel];
    }

    std::vector<FileRow> Rows(const std::string& where = "") const
    {
        DbOutcome outcome = m_db.Query("SELECT CPATH, TBEGIN, TQTY, SPS, FOFF, CH FROM FILELIST" +
                                           (where.empty() ? std::string() : " WHERE " + where) +
                                           " ORDER BY TBEGIN, FOFF",
                                       {DbType::Text, DbType::Double, DbType::Double,
                                        DbType::Double, DbType::Double, DbType::Text});
        EXPECT_TRUE(outcome.ok) << outcome.message;
        std::vector<FileRow> rows;
        for (const DbRow& row : outcome.rows)
        {
            rows.push_back({row[0].text, row[1].number, row[2].number, row[3].number,
                            std::llround(row[4].number), row[5].text});
        }
        return rows;
    }

    // The samples of a data file from offset on (count -1: to the end).
    static std::vector<float> ReadSamples(const std::string& path, long long offset = 512,
                                          long long count = -1)
    {
        const std::string content = ReadFile(path);
        std::vector<float> samples;
        for (std::size_t at = static_cast<std::size_t>(offset);
             at + 4 <= content.size() &&
             (count < 0 || static_cast<long long>(samples.size()) < count);
             at += 4)
        {
            std::uint32_t bits = 0;
            for (int b = 3; b >= 0; --b)
                bits = (bits << 8) |
                       static_cast<unsigned char>(content[at + static_cast<std::size_t>(b)]);
            float value;
            std::memcpy(&value, &bits, 4);
            samples.push_back(value);
        }
        return samples;
    }

    static std::string Data(const std::string& relative) { return g_waveRoot + "/" + relative; }

    std::string ChannelFileText(const std::string& station, const std::string& channel) const
    {
        std::string text = "<none>";
        for (const auto& entry : m_view.ChannelTexts())
        {
            if (entry.station == station && entry.channel == channel &&
                entry.column == ChannelColumn::File)
            {
                text = entry.text;
            }
        }
        return text;
    }

private:
    std::mutex m_sentLock;
    std::map<std::string, std::vector<float>> m_sent;
};

} // namespace tarvell::test
