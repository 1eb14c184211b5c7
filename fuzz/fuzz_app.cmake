# The application-level fuzzers: the settings file read at start-up, and the translator, both
# on the window itself over the virtual MIDI service.
if(TARGET velora_app_main)
  velora_fuzzer(fuzz_settings SOURCES fuzz_settings.cpp
                LIBS velora_app_main Velora::virtual_midi)
  velora_fuzzer(fuzz_translator SOURCES fuzz_translator.cpp
                LIBS velora_app_main Velora::virtual_midi)
endif()
