#include <QApplication>
#include <QIcon>

#include "gui/about/about_form.h"
#include "gui/main_window/main_form.h"
#include "gui/settings/settings_form.h"
#include "gui/update/update_form.h"

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Ferrovin"));
    QApplication::setApplicationVersion(QStringLiteral(FERROVIN_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("ferrovin"));

    // The main window first, then the windows it opens, each made once.
    auto* mainForm = new ferrovin::TMainForm;
    mainForm->setAttribute(Qt::WA_DeleteOnClose);
    auto* aboutForm = new ferrovin::TAboutForm(mainForm);
    auto* settingsForm = new ferrovin::TSettingsForm(mainForm->settings(), mainForm);
    auto* updateForm = new ferrovin::TUpdateForm(mainForm);
    mainForm->AttachForms(aboutForm, settingsForm, updateForm);
    application.setWindowIcon(mainForm->windowIcon());
    mainForm->StartWithArguments(application.arguments().mid(1));
    mainForm->show();
    return application.exec();
}
