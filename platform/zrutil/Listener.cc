#include "Listener.h"

Listener::~Listener() {}

void Listener::Release() { delete this; }

void ProgressListener::SetProgress(double) {}

void ProgressListener::AppendToLog(const char*) {}

void ProgressListener::SetStatusText(const char*) {}
