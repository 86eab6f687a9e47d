#include "gui/update/update_form.h"

#include <QCloseEvent>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPushButton>
#include <QTimer>
#include <QUrl>

#include "gui/about/web_links.h"
#include "gui/main_window/widgets.h"
#include "gui/shell/shell_services.h"

namespace ferrovin {

namespace {

const QString kChecking = QStringLiteral("Checking for Update");
const QString kNoUpdates = QStringLiteral("There are no updates available at this time.");
const QString kCannotConnect = QStringLiteral("Error. Can't connect to website.");

// A silent server must not keep the window waiting for ever.
constexpr int kTransferLimitMs = 30000;

} // namespace

TUpdateForm::TUpdateForm(QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      m_host(kVendorHost)
{
    setObjectName(QStringLiteral("UpdateForm"));
    setWindowTitle(kChecking);
    setFixedSize(Dp(538), Dp(142));
    QFont font(QStringLiteral("Tahoma"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(Dp(14));
    setFont(font);

    UpdateStatusLabel = new QLabel(kChecking, this);
    UpdateStatusLabel->setObjectName(QStringLiteral("UpdateStatusLabel"));
    UpdateStatusLabel->setGeometry(Dp(10), Dp(17), Dp(527), Dp(22));
    UpdateStatusLabel->setAlignment(Qt::AlignHCenter | Qt::AlignTop);

    DownloadButton = new QPushButton(QStringLiteral("Go to Download Page"), this);
    DownloadButton->setObjectName(QStringLiteral("DownloadButton"));
    DownloadButton->setGeometry(Dp(107), Dp(55), Dp(190), Dp(43));
    connect(DownloadButton, &QPushButton::clicked, this, &TUpdateForm::DownloadButtonClick);

    OKButton = new QPushButton(QStringLiteral("Close"), this);
    OKButton->setObjectName(QStringLiteral("OKButton"));
    OKButton->setGeometry(0, Dp(55), Dp(137), Dp(43));
    connect(OKButton, &QPushButton::clicked, this, &TUpdateForm::OKButtonClick);
    for (QPushButton* button : {DownloadButton, OKButton})
        button->setAutoDefault(false);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(250);
    connect(Timer1, &QTimer::timeout, this, &TUpdateForm::Timer1Timer);

    m_network = new QNetworkAccessManager(this);
}

void TUpdateForm::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    FormShow();
}

void TUpdateForm::FormShow()
{
    UpdateCheckState = 0;
    setWindowTitle(kChecking);
    UpdateStatusLabel->setText(kChecking);
    OKButton->hide();
    OKButton->move((width() - OKButton->width()) / 2, OKButton->y());
    OKButton->setText(QStringLiteral("Close"));
    DownloadButton->hide();
    Timer1->start();

    if (m_reply != nullptr) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
        m_reply = nullptr;
    }
    if (m_host.isEmpty()) {
        // Nowhere to ask: fail at once rather than wait on a name lookup.
        QTimer::singleShot(0, this, [this] { finish(nullptr); });
        return;
    }
    QNetworkRequest request(QUrl(QStringLiteral("http://") + m_host + VersionPath()));
    request.setRawHeader("Accept", "text/html, */*");
    request.setRawHeader("User-Agent", "Mozilla/3.0 (compatible; Indy Library)");
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setTransferTimeout(kTransferLimitMs);
    m_reply = m_network->get(request);
    QNetworkReply* reply = m_reply;
    connect(reply, &QNetworkReply::finished, this, [this, reply] { finish(reply); });
}

void TUpdateForm::finish(QNetworkReply* reply)
{
    if (reply != nullptr) {
        if (reply != m_reply)
            return;  // a check that an earlier showing started
        m_reply = nullptr;
        reply->deleteLater();
    }
    if (UpdateCheckState != 0 && reply != nullptr && reply->error() == QNetworkReply::OperationCanceledError)
        return;  // the window closed while the request ran

    const int status = reply == nullptr ? 0
        : reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool answered = reply != nullptr && reply->error() == QNetworkReply::NoError
        && status >= 200 && status < 300;
    if (answered) {
        UpdateCheckState = 1;
        // The whole body is the version; anything but the exact text is news.
        const QString answer = QString::fromUtf8(reply->readAll());
        if (answer == kProgramVersion) {
            UpdateStatusLabel->setText(kNoUpdates);
        } else {
            UpdateStatusLabel->setText(QStringLiteral("A new version of Ferrovin ") + answer
                                       + QStringLiteral(" is available!"));
            DownloadButton->show();
            OKButton->setText(QStringLiteral("Cancel"));
            OKButton->move(305, OKButton->y());  // screen pixels, beside the download button
            if (m_autoCheckPending != nullptr)
                *m_autoCheckPending = false;
        }
    } else {
        UpdateStatusLabel->setText(kCannotConnect);
        UpdateCheckState = 2;
        if (m_autoCheckPending != nullptr)
            *m_autoCheckPending = false;
    }
    Timer1->stop();
    if (m_autoCheckPending != nullptr && *m_autoCheckPending) {
        // An automatic check that found nothing new goes away by itself.
        *m_autoCheckPending = false;
        QTimer::singleShot(0, this, &QDialog::reject);
    } else {
        OKButton->show();
    }
    emit checked();
}

void TUpdateForm::Timer1Timer()
{
    if (UpdateCheckState != 0)
        return;
    const QString text = UpdateStatusLabel->text();
    const QString cycle[] = {kChecking, kChecking + QStringLiteral("."), kChecking + QStringLiteral(".."),
                             kChecking + QStringLiteral("...")};
    for (int i = 0; i < 4; ++i) {
        if (text == cycle[i]) {
            UpdateStatusLabel->setText(cycle[(i + 1) % 4]);
            return;
        }
    }
}

void TUpdateForm::FormCloseQuery()
{
    UpdateCheckState = 1;
    Timer1->stop();
    if (m_reply != nullptr)
        m_reply->abort();
}

void TUpdateForm::closeEvent(QCloseEvent* event)
{
    FormCloseQuery();
    QDialog::closeEvent(event);
}

void TUpdateForm::done(int result)
{
    FormCloseQuery();
    QDialog::done(result);
}

void TUpdateForm::OKButtonClick()
{
    reject();
}

void TUpdateForm::DownloadButtonClick()
{
    const QString page = QStringLiteral("http://") + m_host + QStringLiteral("/photo-download.html");
    if (m_open)
        m_open(page);
    else
        OpenUrl(QUrl(page));
    reject();
}

} // namespace ferrovin
