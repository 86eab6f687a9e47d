// The result list: wiring of the list, the preview and the action buttons,
// header-click sorting and the arrow keys.
#include "gui/main_window/main_form.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QTableView>
#include <QTimer>
#include <QToolButton>

#include "engine/results/pair_sorting.h"
#include "gui/main_window/widgets.h"
#include "gui/results/preview_loader.h"
#include "gui/results/result_list_model.h"

namespace ferrovin {

void TMainForm::wireResults()
{
    m_preview = new TPreviewLoader(this);
    connect(m_preview, &TPreviewLoader::loaded, this, &TMainForm::showPreview);

    ListView1->installEventFilter(this);
    connect(ListView1, &QTableView::clicked, this, [this] { ListView1Click(); });
    connect(ListView1->horizontalHeader(), &QHeaderView::sectionClicked, this,
            &TMainForm::ListView1ColumnClick);

    connect(LeftImage, &TPictureView::clicked, this, &TMainForm::LeftImageClick);
    connect(RightImage, &TPictureView::clicked, this, &TMainForm::RightImageClick);
    connect(SwapImagesButton, &QToolButton::clicked, this, &TMainForm::SwapImagesButtonClick);
    connect(DeleteImageButton1, &QToolButton::clicked, this, &TMainForm::DeleteImageButton1Click);
    connect(DeleteImageButton2, &QToolButton::clicked, this, &TMainForm::DeleteImageButton2Click);
    connect(MoveImageButton1, &QToolButton::clicked, this, &TMainForm::MoveImageButton1Click);
    connect(MoveImageButton2, &QToolButton::clicked, this, &TMainForm::MoveImageButton2Click);
    connect(BrowseImageButton1, &QToolButton::clicked, this, &TMainForm::BrowseImageButton1Click);
    connect(BrowseImageButton2, &QToolButton::clicked, this, &TMainForm::BrowseImageButton2Click);
}

int TMainForm::selectedRow() const
{
    if (ListModel->itemCount() == 0)
        return -1;
    const QModelIndexList rows = ListView1->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void TMainForm::beginResultsWork()
{
    m_resultsBusy = true;
}

void TMainForm::endResultsWork()
{
    m_resultsBusy = false;
    if (std::exchange(m_closeAfterResultsWork, false))
        QTimer::singleShot(0, this, &QWidget::close);
}

void TMainForm::ListView1ColumnClick(int column)
{
    if (m_resultsBusy || m_catalogue.PairCapacity <= 0)
        return;
    SortDescending = column != SortColumn ? false : !SortDescending;

    beginResultsWork();
    ListView1->setUpdatesEnabled(false);
    // The window repaints once between the two phases; input waits, so
    // nothing can reach the table while it is half sorted.
    SortPairsByColumn(m_catalogue, column, SortDescending, [] {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    });
    ListModel->refreshRows(0, m_catalogue.LastPairIndex);
    ListView1->setUpdatesEnabled(true);
    SortColumn = column;
    endResultsWork();
}

void TMainForm::ListView1KeyUp(int key)
{
    if ((key == Qt::Key_Up || key == Qt::Key_Down) && ListModel->itemCount() > 0)
        ListView1Click();
}

} // namespace ferrovin
