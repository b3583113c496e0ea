// What a device says about itself on arrival, read into its descriptor in one session.
#pragma once

class IOSDevice;

// Fills udid, name, countryCode, productVersion and productType of the device with the handle;
// a missing or non-text value leaves the text empty. Throws the session's error text.
void readIOSDeviceValues(IOSDevice &device);
