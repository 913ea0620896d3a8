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
#include "datafiles/link_archive.h"
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

    // Writes the program INI (with [DATA] DIR = the data root), loads the configuration and
    // makes one archive per link, as the program does when it starts (the channels resumed
    // from the archive).
    void Configure(const std::string& groups)
    {
        WriteIni("[DATA]\nDIR=" + g_waveRoot + "\n" + groups);
        m_config = LoadGroups(g_iniPath, g_waveRoot);
        m_archives.clear();
        ChannelStates none;
        for (std::size_t l = 0; l < m_config->links.size(); ++l)
        {
            m_archives.push_back(std::make_unique<CLinkArchive>());
            m_archives.back()->Configure(m_config, l, none);
        }
    }

    // The archive of the link that carries the channel.
    CLinkArchive& ArchiveOf(const std::string& station, const std::string& channel)
    {
        const ConfiguredChannel where = m_config->Find(station, channel);
        EXPECT_TRUE(where) << station << " " << channel;
        return *m_archives.at(where ? where.link : 0);
    }

    CChannelState& Channel(const std::string& station, const std::string& channel)
    {
        return *ArchiveOf(station, channel).Find(station, channel).channel;
    }

    // Merges a packet of count samples beginning at begin into the archive of the channel's
    // link, and commits, as its acquisition thread does; a sample's value is the number of
    // sample intervals from kT0 to its time, so that every sample can be found again, also
    // when it is sent twice. A packet of a channel not configured is dropped. Any number of
    // threads, each for the channels of its own link.
    void Send(const std::string& station, const std::string& channel, double begin, double interval,
              int count, bool commit = true)
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
        const ConfiguredChannel configured = m_config->Find(station, channel);
        if (!configured)
            return; // the acquisition thread drops packets of channels that are not configured
        CLinkArchive& archive = *m_archives[configured.link];
        m_last = MergePacket(*packet, archive.Find(station, channel), archive.Journal());
        if (!commit)
            return;
        archive.Journal().Commit();
        (void)WriteResumeTimes();
    }

    // Writes the buffered chunk of the channel now and commits it.
    bool Flush(const std::string& station, const std::string& channel)
    {
        CLinkArchive& archive = ArchiveOf(station, channel);
        const bool written = FlushChannel(archive.Find(station, channel), archive.Journal());
        archive.Journal().Commit();
        (void)WriteResumeTimes();
        return written;
    }

    // The same for channel number channel of group number group of the configuration.
    bool Flush(std::size_t group, std::size_t channel)
    {
        const CStationGroup& configured = m_config->groups.at(group);
        return Flush(configured.station, configured.channels.at(channel).name);
    }

    std::shared_ptr<const CConfiguration> m_config;
    std::vector<std::unique_ptr<CLinkArchive>> m_archives; // one per link of m_config
    std::atomic<bool> m_last{true};                        // what the last MergePacket returned

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
