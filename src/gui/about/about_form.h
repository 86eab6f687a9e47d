#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace ferrovin {

// Help > About: the program's name, version and links to its site and support.
class TAboutForm final : public QDialog {
    Q_OBJECT
public:
    explicit TAboutForm(QWidget* parent = nullptr);

    QLabel* Image1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Version = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* SiteLabel = nullptr;
    QLabel* Label3 = nullptr;
    QPushButton* OKButton = nullptr;

public slots:
    void SiteLabelClick();
    void Label3Click();
    void OKButtonClick();
};

} // namespace ferrovin
