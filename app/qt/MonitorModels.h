#pragma once
// The models behind the dialog's two views of a download: the status rows of every
// connection (at most a fixed number, the oldest dropped), and one table row per connection
// (state, rate, articles, last reply), refreshed in place once a second so that a thousand
// rows stay cheap.
#include <QAbstractListModel>
#include <QAbstractTableModel>
#include <QString>
#include <deque>
#include <vector>

#include "app/core/MonitorView.h"

namespace zodiva::gui {

class StatusRowsModel : public QAbstractListModel {
    Q_OBJECT
public:
    explicit StatusRowsModel(int rowLimit, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    // Appends rows at the bottom; beyond the limit the oldest go first.
    void AddRows(const QStringList& rows);
    void Clear();
    int RowLimit() const { return m_rowLimit; }

private:
    int m_rowLimit;
    std::deque<QString> m_rows;
};

class ConnectionsModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { kNumber, kState, kRate, kArticles, kLastReply, kColumnCount };

    explicit ConnectionsModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Replaces the figures: rows already shown change in place, new ones are appended.
    void SetRows(const std::vector<ConnectionRow>& rows);

private:
    std::vector<ConnectionRow> m_rows;
};

}  // namespace zodiva::gui
