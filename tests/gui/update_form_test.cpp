// The update check against a small HTTP server on 127.0.0.1 that the test runs.
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include "gui/update/update_form.h"

using namespace ferrovin;

namespace {

// Answers every request with `response` as it stands (empty: closes without
// a word) and keeps what it was sent.
class TinyServer final : public QObject {
public:
    QByteArray response;
    QList<QByteArray> requests;

    TinyServer()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            QTcpSocket* socket = m_server.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
                m_pending[socket] += socket->readAll();
                if (!m_pending[socket].contains("\r\n\r\n"))
                    return;
                requests << m_pending.take(socket);
                if (!response.isEmpty())
                    socket->write(response);
                socket->disconnectFromHost();
            });
        });
    }
    QString host() const { return QStringLiteral("127.0.0.1:%1").arg(m_server.serverPort()); }

private:
    QTcpServer m_server;
    QHash<QTcpSocket*, QByteArray> m_pending;
};

QByteArray answer(const QByteArray& status, const QByteArray& body, const QByteArray& extra = {})
{
    return "HTTP/1.1 " + status + "\r\nContent-Type: text/plain\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\n" + extra + "Connection: close\r\n\r\n" + body;
}

} // namespace

class UpdateFormTest final : public QObject {
    Q_OBJECT
private slots:
    void eachAnswerGivesItsTextAndButtons()
    {
        const QString news = QStringLiteral("A new version of Ferrovin %1 is available!");
        const QString error = QStringLiteral("Error. Can't connect to website.");
        const struct {
            const char* what;
            QByteArray response;
            QString label;
            bool download;
        } cases[] = {
            {"same version", answer("200 OK", "1.1.1"), "There are no updates available at this time.", false},
            {"newer", answer("200 OK", "1.2.0"), news.arg("1.2.0"), true},
            {"with a line break", answer("200 OK", "1.1.1\n"), news.arg("1.1.1\n"), true},
            {"empty body", answer("200 OK", ""), news.arg(""), true},
            {"not found", answer("404 Not Found", "1.1.1"), error, false},
            {"redirect", answer("302 Found", "", "Location: http://127.0.0.1:9/x\r\n"), error, false},
            {"closed unanswered", {}, error, false},
        };
        TinyServer server;
        TUpdateForm form;
        form.setHost(server.host());
        for (const auto& c : cases) {
            server.response = c.response;
            server.requests.clear();
            QSignalSpy done(&form, &TUpdateForm::checked);
            form.show();
            QCOMPARE(form.UpdateStatusLabel->text(), QStringLiteral("Checking for Update"));
            QVERIFY2(!form.OKButton->isVisible() && !form.DownloadButton->isVisible(), c.what);
            QVERIFY2(done.wait(10000), c.what);
            QCOMPARE(form.UpdateStatusLabel->text(), c.label);
            QCOMPARE(form.windowTitle(), QStringLiteral("Checking for Update"));
            QCOMPARE(form.DownloadButton->isVisible(), c.download);
            QVERIFY(form.OKButton->isVisible());
            QCOMPARE(form.OKButton->text(), c.download ? QStringLiteral("Cancel") : QStringLiteral("Close"));
            QCOMPARE(form.OKButton->x(), c.download ? 305 : (form.width() - form.OKButton->width()) / 2);
            QCOMPARE(form.UpdateCheckState, std::uint8_t(c.label == error ? 2 : 1));
            // One GET, never a second one to follow a redirect. (Qt itself
            // sends an idempotent request once more when the connection
            // closes before any answer.)
            QVERIFY2(server.requests.size() == 1 || (c.response.isEmpty() && server.requests.size() == 2),
                     c.what);
            const QByteArray request = server.requests.first();
            QVERIFY(request.startsWith("GET /update/photo_version.txt HTTP/1.1\r\n"));
            QVERIFY(request.contains("\r\nAccept: text/html, */*\r\n"));
            QVERIFY(request.contains("\r\nUser-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n"));
            form.OKButton->click();
            QVERIFY(!form.isVisible());
        }
    }

    void theAutomaticCheckClosesItselfOnlyWhenNothingIsNew()
    {
        TinyServer server;
        for (const QByteArray& body : {QByteArray("1.1.1"), QByteArray("1.2.0")}) {
            server.response = answer("200 OK", body);
            TUpdateForm form;
            form.setHost(server.host());
            bool pending = true;
            form.setAutoCheckPending(&pending);
            QSignalSpy done(&form, &TUpdateForm::checked);
            form.show();
            QVERIFY(done.wait(10000));
            QVERIFY(!pending);
            const bool same = body == "1.1.1";
            QTRY_COMPARE(form.isVisible(), !same);
        }
    }

    void withoutAHostTheCheckFailsAtOnce()
    {
        TUpdateForm form;
        form.setHost({});
        QSignalSpy done(&form, &TUpdateForm::checked);
        form.show();
        QVERIFY(done.wait(1000));
        QCOMPARE(form.UpdateStatusLabel->text(), QStringLiteral("Error. Can't connect to website."));
    }

    void theDotsCycleWhileChecking()
    {
        TUpdateForm form;
        form.setHost({});
        form.UpdateCheckState = 0;
        const QStringList cycle{"Checking for Update", "Checking for Update.", "Checking for Update..",
                                "Checking for Update...", "Checking for Update"};
        form.UpdateStatusLabel->setText(cycle[0]);
        for (int i = 1; i < cycle.size(); ++i) {
            form.Timer1Timer();
            QCOMPARE(form.UpdateStatusLabel->text(), cycle[i]);
        }
        form.UpdateStatusLabel->setText(QStringLiteral("other"));
        form.Timer1Timer();
        QCOMPARE(form.UpdateStatusLabel->text(), QStringLiteral("other"));
    }
};

QTEST_MAIN(UpdateFormTest)
#include "update_form_test.moc"
