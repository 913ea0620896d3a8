#pragma once
// The rows of the channel list: one per configured channel, five texts each, found by their
// channel. User-interface thread only (the operator view brings other threads' texts here).

#include <array>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <QAbstractTableModel>

#include "platform/operator_view.h"
#include "ui/channel_trouble.h"

namespace tarvell
{

// One text for the row of a channel.
struct ChannelText
{
    std::string station;
    std::string channel;
    ChannelColumn column = ChannelColumn::LastCountTime;
    std::string text;
};

class CChannelListModel final : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column
    {
        kStation = 0,
        kChannel = 1,
        kLastCountTime = 2,
        kFile = 3,
        kServer = 4,
        kColumnCount = 5,
    };

    // The last count time of a channel that has had no packet yet.
    static constexpr char kNoTimeYet[] = "---------";

    explicit CChannelListModel(QObject* parent = nullptr);

    // Replaces every row: station, channel, "---------", no file, the server.
    void SetRows(const std::vector<ChannelRow>& rows);

    // Sets each text in the row that shows its channel at this moment (the first such row);
    // a text for a channel without a row is dropped. Returns the number of texts set.
    int SetTexts(const std::vector<ChannelText>& texts);

    // Sorts the rows by the texts of column, compared byte by byte as unsigned characters
    // (so case-sensitive), ascending or descending; rows with equal texts keep their order.
    void Sort(int column, bool descending);

    // The text of row and column (empty outside the list).
    const std::string& Text(int row, int column) const;

    // The first row that shows the channel, or -1.
    int RowOf(std::string_view station, std::string_view channel) const;

    // Marks the channel's row with trouble (a colour, and the text as the tooltip of every
    // cell); TroubleKind::None takes the mark away. Returns true when the row's mark changed.
    bool SetTrouble(std::string_view station, std::string_view channel,
                    const ChannelTrouble& trouble);
    const ChannelTrouble& TroubleAt(int row) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    using RowTexts = std::array<std::string, kColumnCount>;
    struct Row
    {
        RowTexts texts;
        ChannelTrouble trouble;
    };

    static std::string Key(std::string_view station, std::string_view channel);
    void IndexRows();

    std::vector<Row> m_rows;
    std::unordered_map<std::string, int> m_rowOf; // Key -> first row showing the channel
};

} // namespace tarvell
