#pragma once

#include <QDialog>

namespace ferrovin {

// The update check window, opened from Help and, once, at start-up.
class TUpdateForm final : public QDialog {
    Q_OBJECT
public:
    explicit TUpdateForm(QWidget* parent = nullptr);
};

} // namespace ferrovin
