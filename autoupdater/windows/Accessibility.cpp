#include "windows/Accessibility.h"

#include <QAccessibleValueInterface>
#include <QAccessibleWidget>

#include "windows/PictureButton.h"
#include "windows/ProgressBar.h"
#include "windows/UpdaterWindow.h"

namespace {

class PictureButtonAccessible : public QAccessibleWidget {
public:
    explicit PictureButtonAccessible(PictureButton* button)
        : QAccessibleWidget(button, QAccessible::Button) {}

    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        if (!button()->isAvailable()) {
            state.disabled = true;
            state.focusable = false;
        }
        return state;
    }

    // The cover over an unavailable button is part of its look, not a control of its own.
    int childCount() const override { return 0; }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }

    QStringList actionNames() const override {
        QStringList names = QAccessibleWidget::actionNames();
        if (button()->isAvailable())
            names.prepend(pressAction());
        return names;
    }
    void doAction(const QString& name) override {
        if (name == pressAction()) {
            if (button()->isAvailable())
                button()->click();
            return;
        }
        QAccessibleWidget::doAction(name);
    }
    QStringList keyBindingsForAction(const QString& name) const override {
        if (name == pressAction())
            return {QStringLiteral("Space")};
        return QAccessibleWidget::keyBindingsForAction(name);
    }

private:
    PictureButton* button() const { return static_cast<PictureButton*>(widget()); }
};

class ProgressBarAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit ProgressBarAccessible(ProgressBar* bar)
        : QAccessibleWidget(bar, QAccessible::ProgressBar) {}

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }
    QString text(QAccessible::Text type) const override {
        if (type == QAccessible::Value)
            return QStringLiteral("%1%").arg(qRound(bar()->value()));
        return QAccessibleWidget::text(type);
    }

    QVariant currentValue() const override { return bar()->value(); }
    void setCurrentValue(const QVariant&) override {} // shows progress; not set by the user
    QVariant maximumValue() const override { return 100.0; }
    QVariant minimumValue() const override { return 0.0; }
    QVariant minimumStepSize() const override { return 0.0; }

private:
    ProgressBar* bar() const { return static_cast<ProgressBar*>(widget()); }
};

QAccessibleInterface* SkinAccessibleFactory(const QString& className, QObject* object) {
    if (className == QLatin1String("PictureButton"))
        return new PictureButtonAccessible(static_cast<PictureButton*>(object));
    if (className == QLatin1String("ProgressBar"))
        return new ProgressBarAccessible(static_cast<ProgressBar*>(object));
    if (className == QLatin1String("UpdaterWindow"))
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
    return nullptr;
}

} // namespace

void InstallSkinAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(&SkinAccessibleFactory);
        return true;
    }();
    Q_UNUSED(installed);
}
