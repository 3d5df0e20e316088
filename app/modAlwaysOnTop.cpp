#include "modAlwaysOnTop.h"

#include <QWidget>

void SetAlwaysOnTop(QWidget *hWnd, int OnTop)
{
    hWnd->setWindowFlag(Qt::WindowStaysOnTopHint, OnTop != 0);
}
