#pragma once

#include <QMainWindow>

namespace norvel {

class AppEnvironment;

// The root window, titled "Norvel". For now it only shows that the services are up; the
// window's views replace its contents.
class ContentView : public QMainWindow {
    Q_OBJECT

public:
    explicit ContentView(AppEnvironment& environment, QWidget* parent = nullptr);

private:
    AppEnvironment& environment_;
};

}  // namespace norvel
