#include "gui/about/about_form.h"

#include <QEvent>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QUrl>

#include <functional>

#include "gui/about/web_links.h"
#include "gui/main_window/widgets.h"
#include "gui/shell/shell_services.h"

namespace ferrovin {

namespace {

QLabel* placeLabel(QWidget* parent, const QString& name, const QString& text, int left, int top)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->move(Dp(left), Dp(top));
    label->adjustSize();
    return label;
}

// Link labels keep their look by hand: they act through the click handlers.
void makeLink(QLabel* label)
{
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(Dp(15));
    font.setBold(true);
    font.setUnderline(true);
    label->setFont(font);
    QPalette colours = label->palette();
    colours.setColor(QPalette::WindowText, QColor(39, 89, 173));
    label->setPalette(colours);
    label->setCursor(Qt::PointingHandCursor);
    label->adjustSize();
}

class ClickFilter final : public QObject {
public:
    ClickFilter(QObject* parent, std::function<void()> action)
        : QObject(parent), m_action(std::move(action)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::MouseButtonRelease)
            m_action();
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> m_action;
};

} // namespace

TAboutForm::TAboutForm(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("AboutForm"));
    setWindowTitle(QStringLiteral("About Ferrovin"));
    setFixedSize(Dp(594), Dp(303));
    QFont font(QStringLiteral("Tahoma"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(Dp(14));
    setFont(font);

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(Dp(42), Dp(31), Dp(84), Dp(84));
    Image1->setPixmap(QIcon(QStringLiteral(":/icons/ferrovin.svg")).pixmap(Dp(84), Dp(84)));

    Label1 = placeLabel(this, QStringLiteral("Label1"), QStringLiteral("Ferrovin"), 167, 31);
    Version = placeLabel(this, QStringLiteral("Version"), QStringLiteral("Version 1.1.1"), 167, 67);
    Label2 = placeLabel(this, QStringLiteral("Label2"),
                        QStringLiteral("Copyright \u00A9 2024-2026 the Ferrovin developers"), 167, 102);
    // A build without a web site says so instead of offering dead links.
    SiteLabel = placeLabel(this, QStringLiteral("SiteLabel"),
                           HasVendorHost() ? kVendorHost : QStringLiteral("No web site in this build"),
                           167, 137);
    Label3 = placeLabel(this, QStringLiteral("Label3"), HasVendorHost() ? SupportMail() : QString(),
                        167, 173);
    if (HasVendorHost()) {
        makeLink(SiteLabel);
        makeLink(Label3);
        SiteLabel->installEventFilter(new ClickFilter(this, [this] { SiteLabelClick(); }));
        Label3->installEventFilter(new ClickFilter(this, [this] { Label3Click(); }));
    }

    OKButton = new QPushButton(QStringLiteral("OK"), this);
    OKButton->setObjectName(QStringLiteral("OKButton"));
    OKButton->setGeometry(Dp(194), Dp(226), Dp(179), Dp(43));
    OKButton->setDefault(true);
    Version->setText(QStringLiteral("Version ") + kProgramVersion);
    connect(OKButton, &QPushButton::clicked, this, &TAboutForm::OKButtonClick);
}

void TAboutForm::SiteLabelClick()
{
    OpenUrl(QUrl(AboutSiteUrl()));
}

void TAboutForm::Label3Click()
{
    OpenUrl(QUrl(SupportMail()));
}

void TAboutForm::OKButtonClick()
{
    accept();
}

} // namespace ferrovin
