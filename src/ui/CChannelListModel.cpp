#include "ui/CChannelListModel.h"

#include <algorithm>

#include <QBrush>
#include <QColor>

namespace tarvell
{
namespace
{

const char* const kHeadings[CChannelListModel::kColumnCount] = {
    "Station", "Channel", "Last count time", "File (type)", "Server (type)"};

} // namespace

CChannelListModel::CChannelListModel(QObject* parent) : QAbstractTableModel(parent) {}

std::string CChannelListModel::Key(std::string_view station, std::string_view channel)
{
    std::string key(station);
    key += '\n';
    key += channel;
    return key;
}

void CChannelListModel::IndexRows()
{
    m_rowOf.clear();
    m_rowOf.reserve(m_rows.size());
    for (std::size_t row = 0; row < m_rows.size(); ++row)
        m_rowOf.emplace(Key(m_rows[row].texts[kStation], m_rows[row].texts[kChannel]),
                        static_cast<int>(row));
}

void CChannelListModel::SetRows(const std::vector<ChannelRow>& rows)
{
    beginResetModel();
    m_rows.clear();
    m_rows.reserve(rows.size());
    for (const ChannelRow& row : rows)
        m_rows.push_back({{row.station, row.channel, kNoTimeYet, "", row.server}, {}});
    IndexRows();
    endResetModel();
}

int CChannelListModel::SetTexts(const std::vector<ChannelText>& texts)
{
    int set = 0;
    int first = rowCount();
    int last = -1;
    for (const ChannelText& text : texts)
    {
        const int row = RowOf(text.station, text.channel);
        if (row < 0)
            continue;
        m_rows[static_cast<std::size_t>(row)].texts[static_cast<std::size_t>(text.column)] =
            text.text;
        first = std::min(first, row);
        last = std::max(last, row);
        ++set;
    }
    // One notice for the whole batch: the view repaints the span once.
    if (last >= 0)
        emit dataChanged(index(first, kLastCountTime), index(last, kFile));
    return set;
}

void CChannelListModel::Sort(int column, bool descending)
{
    if (column < 0 || column >= kColumnCount)
        return;
    const auto col = static_cast<std::size_t>(column);
    emit layoutAboutToBeChanged();
    // The selection stays on its channel wherever the channel's row goes.
    const QModelIndexList before = persistentIndexList();
    std::vector<std::string> channels;
    channels.reserve(static_cast<std::size_t>(before.size()));
    for (const QModelIndex& index : before)
        channels.push_back(Key(Text(index.row(), kStation), Text(index.row(), kChannel)));
    // std::string compares like memcmp: byte by byte as unsigned characters.
    std::stable_sort(m_rows.begin(), m_rows.end(),
                     [col, descending](const Row& a, const Row& b) {
                         return descending ? b.texts[col] < a.texts[col]
                                           : a.texts[col] < b.texts[col];
                     });
    IndexRows();
    QModelIndexList after;
    after.reserve(before.size());
    for (qsizetype i = 0; i < before.size(); ++i)
    {
        auto found = m_rowOf.find(channels[static_cast<std::size_t>(i)]);
        after.push_back(found == m_rowOf.end() ? QModelIndex()
                                               : index(found->second, before[i].column()));
    }
    changePersistentIndexList(before, after);
    emit layoutChanged();
}

const std::string& CChannelListModel::Text(int row, int column) const
{
    static const std::string kNone;
    if (row < 0 || row >= rowCount() || column < 0 || column >= kColumnCount)
        return kNone;
    return m_rows[static_cast<std::size_t>(row)].texts[static_cast<std::size_t>(column)];
}

int CChannelListModel::RowOf(std::string_view station, std::string_view channel) const
{
    auto found = m_rowOf.find(Key(station, channel));
    return found == m_rowOf.end() ? -1 : found->second;
}

bool CChannelListModel::SetTrouble(std::string_view station, std::string_view channel,
                                   const ChannelTrouble& trouble)
{
    const int row = RowOf(station, channel);
    if (row < 0 || m_rows[static_cast<std::size_t>(row)].trouble == trouble)
        return false;
    m_rows[static_cast<std::size_t>(row)].trouble = trouble;
    emit dataChanged(index(row, 0), index(row, kColumnCount - 1),
                     {Qt::BackgroundRole, Qt::ToolTipRole});
    return true;
}

const ChannelTrouble& CChannelListModel::TroubleAt(int row) const
{
    static const ChannelTrouble kNone;
    if (row < 0 || row >= rowCount())
        return kNone;
    return m_rows[static_cast<std::size_t>(row)].trouble;
}

int CChannelListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int CChannelListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant CChannelListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid())
        return {};
    const ChannelTrouble& trouble = TroubleAt(index.row());
    if (role == Qt::ToolTipRole && trouble.kind != TroubleKind::None)
        return QString::fromUtf8(trouble.text);
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole)
        return QString::fromUtf8(Text(index.row(), index.column()));
    if (role == Qt::BackgroundRole && trouble.kind != TroubleKind::None)
    {
        // The colours of the status page: amber for a silence, red for a hold, grey for a
        // channel another instance archives.
        switch (trouble.kind)
        {
        case TroubleKind::Held:
            return QBrush(QColor(0xf4, 0xc0, 0xc0));
        case TroubleKind::Silent:
            return QBrush(QColor(0xf3, 0xe2, 0xb3));
        default:
            return QBrush(QColor(0xe3, 0xe3, 0xe3));
        }
    }
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    return {};
}

QVariant CChannelListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= kColumnCount)
        return {};
    if (role == Qt::DisplayRole)
        return QString::fromLatin1(kHeadings[section]);
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    return {};
}

} // namespace tarvell
