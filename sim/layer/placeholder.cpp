// Temporary: the device layer's sources replace this file.
extern "C" int boardsim_layer_placeholder() { return 0; }
