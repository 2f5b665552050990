// What assistive technology (screen readers) learns of the skinned controls through Qt's
// accessibility interfaces: the picture buttons are buttons named by the caption of their face and
// unavailable while they cannot be pressed, the progress bar reports its value, and the updater
// window is a window named by its title.
#pragma once

// Installs the interfaces; to be called before the first skinned control is made. Calling it again
// does nothing.
void InstallSkinAccessibility();
