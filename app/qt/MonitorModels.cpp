#include "app/qt/MonitorModels.h"

#include "app/core/SafeText.h"

namespace zodiva::gui {

StatusRowsModel::StatusRowsModel(int rowLimit, QObject* parent)
    : QAbstractListModel(parent), m_rowLimit(rowLimit > 0 ? rowLimit : 1) {}

int StatusRowsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

QVariant StatusRowsModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(m_rows.size()))
        return QVariant();
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole)
        return m_rows[static_cast<std::size_t>(index.row())];
    return QVariant();
}

void StatusRowsModel::AddRows(const QStringList& rows) {
    if (rows.isEmpty())
        return;
    // Only the newest m_rowLimit rows of this batch can be kept at all.
    const int keep = std::min<int>(rows.size(), m_rowLimit);
    const int first = rows.size() - keep;
    const int overflow = static_cast<int>(m_rows.size()) + keep - m_rowLimit;
    if (overflow > 0) {
        beginRemoveRows(QModelIndex(), 0, overflow - 1);
        m_rows.erase(m_rows.begin(), m_rows.begin() + overflow);
        endRemoveRows();
    }
    const int at = static_cast<int>(m_rows.size());
    beginInsertRows(QModelIndex(), at, at + keep - 1);
    for (int i = first; i < rows.size(); ++i) m_rows.push_back(rows[i]);
    endInsertRows();
}

void StatusRowsModel::Clear() {
    beginResetModel();
    m_rows.clear();
    endResetModel();
}

ConnectionsModel::ConnectionsModel(QObject* parent) : QAbstractTableModel(parent) {}

int ConnectionsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int ConnectionsModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant ConnectionsModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(m_rows.size()))
        return QVariant();
    const ConnectionRow& row = m_rows[static_cast<std::size_t>(index.row())];
    if (role == Qt::TextAlignmentRole) {
        const bool number = index.column() != kState && index.column() != kLastReply;
        return QVariant::fromValue(Qt::Alignment(number ? Qt::AlignRight : Qt::AlignLeft) |
                                   Qt::AlignVCenter);
    }
    if (role != Qt::DisplayRole)
        return QVariant();
    switch (index.column()) {
        case kNumber:
            return row.number;
        case kState:
            return QString::fromStdString(row.state);
        case kRate:
            return QString::fromStdString(HumanRate(row.rateKiB));
        case kArticles:
            return QVariant::fromValue<qulonglong>(row.articles);
        case kLastReply:
            return QString::fromStdString(row.lastReply);
        default:
            return QVariant();
    }
}

QVariant ConnectionsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
        case kNumber:
            return QStringLiteral("#");
        case kState:
            return QStringLiteral("State");
        case kRate:
            return QStringLiteral("Rate");
        case kArticles:
            return QStringLiteral("Articles");
        case kLastReply:
            return QStringLiteral("Last reply");
        default:
            return QVariant();
    }
}

void ConnectionsModel::SetRows(const std::vector<ConnectionRow>& rows) {
    const int shown = static_cast<int>(m_rows.size());
    const int wanted = static_cast<int>(rows.size());
    if (wanted < shown) {
        beginRemoveRows(QModelIndex(), wanted, shown - 1);
        m_rows.resize(rows.size());
        endRemoveRows();
    }
    const int common = std::min(shown, wanted);
    std::copy(rows.begin(), rows.begin() + common, m_rows.begin());
    if (common > 0)
        emit dataChanged(index(0, 0), index(common - 1, kColumnCount - 1));
    if (wanted > shown) {
        beginInsertRows(QModelIndex(), shown, wanted - 1);
        m_rows.insert(m_rows.end(), rows.begin() + shown, rows.end());
        endInsertRows();
    }
}

}  // namespace zodiva::gui
