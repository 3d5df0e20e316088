#pragma once

class QWidget;

// Keeps the window above all others (OnTop non-zero) or lets it go back among them.
// Takes effect when the window is next shown.
void SetAlwaysOnTop(QWidget *hWnd, int OnTop);
