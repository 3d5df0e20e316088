#pragma once

#include <QWidget>

class QLabel;

// The incoming-call notice beside VoIP equipment. Kept ready; nothing opens it yet.
class frmNotice : public QWidget
{
    Q_OBJECT

public:
    explicit frmNotice(QWidget *parent = nullptr);

private:
    QLabel *lblNotice;
};
