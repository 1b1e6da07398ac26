// A drop-down list that a screen reader names by what it chooses ("Restore type"), with
// the entry it holds as its value. Qt's own list on Linux gives its current entry as its
// name, so a reader would announce "Selected Year" and never say what the list is for.
#pragma once

#include <QComboBox>

namespace vornback {

class ChoiceList : public QComboBox {
    Q_OBJECT

  public:
    // Installs, once, what tells a screen reader about every ChoiceList.
    explicit ChoiceList(QWidget* parent = nullptr);
};

}  // namespace vornback
