#include "gui/results/result_list_model.h"

#include <QFile>
#include <QLocale>

#include <cmath>

#include "engine/catalogue/catalogue.h"

namespace ferrovin {

TResultListModel::TResultListModel(const Catalogue& catalogue, QObject* parent)
    : QAbstractTableModel(parent), m_catalogue(catalogue)
{
}

void TResultListModel::setItemCount(int count)
{
    beginResetModel();
    m_count = count;
    endResetModel();
}

void TResultListModel::refreshRows(int first, int last)
{
    if (m_count == 0 || first > last)
        return;
    emit dataChanged(index(first, 0), index(last, 2), {Qt::DisplayRole});
}

int TResultListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_count;
}

int TResultListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : 3;
}

QVariant TResultListModel::data(const QModelIndex& index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= m_count
        || index.row() >= int(m_catalogue.PicturePairs.size()))
        return {};
    const TPicturePair& pair = m_catalogue.PicturePairs[std::size_t(index.row())];
    switch (index.column()) {
    case 0:
        return QFile::decodeName(QByteArray::fromStdString(m_catalogue.FullPath(pair.PicIndex1)));
    case 1:
        return QFile::decodeName(QByteArray::fromStdString(m_catalogue.FullPath(pair.PicIndex2)));
    default:
        // "#,##0": whole percent with the locale's digit grouping.
        return QLocale().toString(qlonglong(std::llround(pair.Similarity)));
    }
}

QVariant TResultListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case 0:
        return QStringLiteral("Original Image");
    case 1:
        return QStringLiteral("Duplicate Image");
    default:
        return QStringLiteral("Similarity");
    }
}

} // namespace ferrovin
