"""Decoding live EEG over Lab Streaming Layer (LSL): the extra ``live`` (mne-lsl, pylsl)."""
