#pragma once

#include <QAbstractTableModel>

namespace ferrovin {

struct Catalogue;

// The result list holds no rows of its own: it keeps a row count and builds
// each row's texts from the catalogue's pair table when the view asks.
class TResultListModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    TResultListModel(const Catalogue& catalogue, QObject* parent);

    // Items.Count of the list: how many pairs the view may ask for.
    void setItemCount(int count);
    int itemCount() const { return m_count; }
    // The rows' texts changed in place (a sort, a swap); the count did not.
    void refreshRows(int first, int last);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    const Catalogue& m_catalogue;
    int m_count = 0;
};

} // namespace ferrovin
