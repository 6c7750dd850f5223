// replaced by the window
