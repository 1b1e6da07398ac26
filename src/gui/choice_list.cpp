#include "gui/choice_list.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QStringList>

namespace vornback {
namespace {

// What a screen reader is told about a ChoiceList: its accessible name as the name, the
// entry as the value, the open list as its one child, and "open the list" as its action.
class ChoiceListReader : public QAccessibleWidget {
  public:
    explicit ChoiceListReader(QComboBox* list) : QAccessibleWidget(list, QAccessible::ComboBox) {}

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value) {
            return List()->currentText();
        }
        if (t == QAccessible::Name && widget()->accessibleName().isEmpty()) {
            return List()->currentText();
        }
        return QAccessibleWidget::text(t);
    }

    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.hasPopup = true;
        s.expandable = true;
        s.expanded = List()->view()->isVisible();
        s.collapsed = !s.expanded;
        return s;
    }

    int childCount() const override { return 1; }
    QAccessibleInterface* child(int index) const override {
        return index == 0 ? QAccessible::queryAccessibleInterface(List()->view()) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        return child != nullptr && child->object() == List()->view() ? 0 : -1;
    }

    QStringList actionNames() const override { return {showMenuAction(), pressAction()}; }
    void doAction(const QString& action) override {
        if (action != showMenuAction() && action != pressAction()) {
            return;
        }
        if (List()->view()->isVisible()) {
            List()->hidePopup();
        } else {
            List()->showPopup();
        }
    }

  private:
    QComboBox* List() const { return static_cast<QComboBox*>(widget()); }
};

QAccessibleInterface* MakeReader(const QString& className, QObject* object) {
    if (className == QLatin1String(ChoiceList::staticMetaObject.className()) &&
        object->isWidgetType()) {
        return new ChoiceListReader(static_cast<QComboBox*>(object));
    }
    return nullptr;
}

}  // namespace

ChoiceList::ChoiceList(QWidget* parent) : QComboBox(parent) {
    static const bool installed = [] {
        QAccessible::installFactory(MakeReader);
        return true;
    }();
    (void)installed;
}

}  // namespace vornback
