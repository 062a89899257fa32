#pragma once
// Typed access to each module type's controls, named after their configuration keys, so that
// algorithms read `osc.amplitude()` rather than slot numbers. Generated from the definitions.
#include "modules/module.h"

namespace kv {

/// Type 0, Module_ControlInput.
struct ControlInputControls {
    Module& m;
    InputSliderSlot& inputSource() const { return m.inputSliders[0]; }
};

/// Type 1, Module_ControlMIDIInput.
struct ControlMIDIInputControls {
    Module& m;
    InputSliderSlot& transpose() const { return m.inputSliders[0]; }
    InputSliderSlot& tuning() const { return m.inputSliders[1]; }
    DeviceSlot& inputDeviceId() const { return m.midiInputs[0]; }
    CheckBoxSlot& doReversedNoteOrientation() const { return m.checkBoxes[0]; }
};

/// Type 2, Module_ControlMIDIControllerInput.
struct ControlMIDIControllerInputControls {
    Module& m;
    DeviceSlot& inputDeviceId() const { return m.midiInputs[0]; }
};

/// Type 3, Module_ControlSensitiser.
struct ControlSensitiserControls {
    Module& m;
    SimpleSliderSlot& attack() const { return m.simpleSliders[0]; }
    SimpleSliderSlot& decay() const { return m.simpleSliders[1]; }
    InputSliderSlot& inputSource() const { return m.inputSliders[0]; }
    CheckBoxSlot& doFreqMode() const { return m.checkBoxes[0]; }
};

/// Type 4, Module_ControlModulator.
struct ControlModulatorControls {
    Module& m;
    ChoiceSlot& effect() const { return m.modulationEffects[0]; }
    FrequencySlot& baseFrequency() const { return m.frequencies[0]; }
    InputSliderSlot& noise() const { return m.inputSliders[1]; }
    InputSliderSlot& waveform() const { return m.inputSliders[2]; }
    InputSliderSlot& ramp() const { return m.inputSliders[3]; }
    InputSliderSlot& phase() const { return m.inputSliders[4]; }
    InputSliderSlot& stepSize() const { return m.inputSliders[5]; }
    InputSliderSlot& inputSource() const { return m.inputSliders[0]; }
    CheckBoxSlot& doLinearInput() const { return m.checkBoxes[0]; }
    CheckBoxSlot& doSignedOutput() const { return m.checkBoxes[1]; }
};

/// Type 5, Module_ControlEcho.
struct ControlEchoControls {
    Module& m;
    CheckBoxSlot& doFreqMode() const { return m.checkBoxes[0]; }
    InputSliderSlot& interval() const { return m.inputSliders[0]; }
    InputSliderSlot& linger() const { return m.inputSliders[1]; }
    ControlInputSlot& inputSource() const { return m.controlInputs[0]; }
};

/// Type 6, Module_ControlCombine.
struct ControlCombineControls {
    Module& m;
    ControlInputSlot& inputSource1() const { return m.controlInputs[0]; }
    ControlInputSlot& inputSource2() const { return m.controlInputs[1]; }
    ControlInputSlot& inputSource3() const { return m.controlInputs[2]; }
    ControlInputSlot& inputSource4() const { return m.controlInputs[3]; }
    ControlInputSlot& inputSource5() const { return m.controlInputs[4]; }
};

/// Type 7, Module_ControlRange.
struct ControlRangeControls {
    Module& m;
    FlipperSlot& outputUpperLimit() const { return m.flippers[1]; }
    FlipperSlot& inputUpperLimit() const { return m.flippers[0]; }
    CheckBoxSlot& doKeepInRange() const { return m.checkBoxes[0]; }
    InputSliderSlot& inputSource() const { return m.inputSliders[0]; }
};

/// Type 8, Module_ControlOffset.
struct ControlOffsetControls {
    Module& m;
    InputSliderSlot& offset() const { return m.inputSliders[1]; }
    InputSliderSlot& inputSource() const { return m.inputSliders[0]; }
};

/// Type 9, Module_ControlGain.
struct ControlGainControls {
    Module& m;
    InputSliderSlot& gain() const { return m.inputSliders[1]; }
    InputSliderSlot& inputSource() const { return m.inputSliders[0]; }
};

/// Type 10, Module_ControlSequence.
struct ControlSequenceControls {
    Module& m;
    InputSliderSlot& bPM() const { return m.inputSliders[0]; }
    InputSliderSlot& noteLength() const { return m.inputSliders[1]; }
    InputSliderSlot& noteVelocity() const { return m.inputSliders[2]; }
    InputSliderSlot& transpose() const { return m.inputSliders[3]; }
    InputSliderSlot& tuning() const { return m.inputSliders[4]; }
    DeviceSlot& recordingSourceId() const { return m.midiInputs[0]; }
};

/// Type 11, Module_ControlSensor.
struct ControlSensorControls {
    Module& m;
    SensorSlot& angle() const { return m.sensors[0]; }
    CheckBoxSlot& doSignedOutput() const { return m.checkBoxes[0]; }
};

/// Type 12, Module_ControlNoteCombine.
struct ControlNoteCombineControls {
    Module& m;
    CheckBoxSlot& doSustain() const { return m.checkBoxes[0]; }
    InputSliderSlot& inputSource() const { return m.inputSliders[0]; }
};

/// Type 13, Module_ControlLowCut.
struct ControlLowCutControls {
    Module& m;
    InputSliderSlot& lowCutFreq() const { return m.inputSliders[1]; }
    InputSliderSlot& inputSource() const { return m.inputSliders[0]; }
};

/// Type 14, Module_ControlNoteRetard.
struct ControlNoteRetardControls {
    Module& m;
    InputSliderSlot& retardation() const { return m.inputSliders[1]; }
    InputSliderSlot& retardationSource() const { return m.inputSliders[2]; }
    InputSliderSlot& inputSource() const { return m.inputSliders[0]; }
};

/// Type 15, Module_ControlNeuron.
struct ControlNeuronControls {
    Module& m;
    InputSliderSlot& inputOutputRatio() const { return m.inputSliders[0]; }
    InputSliderSlot& dischargeRate() const { return m.inputSliders[1]; }
    InputSliderSlot& threshold() const { return m.inputSliders[2]; }
    InputSliderSlot& leakthrough() const { return m.inputSliders[3]; }
    InputSliderSlot& leakage() const { return m.inputSliders[4]; }
    InputSliderSlot& dendrite0() const { return m.inputSliders[5]; }
    InputSliderSlot& dendrite1() const { return m.inputSliders[6]; }
    InputSliderSlot& dendrite2() const { return m.inputSliders[7]; }
    InputSliderSlot& dendrite3() const { return m.inputSliders[8]; }
    InputSliderSlot& dendrite4() const { return m.inputSliders[9]; }
    CheckBoxSlot& doMakeAllInputsPositive() const { return m.checkBoxes[0]; }
};

/// Type 16, Module_ControlStepFunction.
struct ControlStepFunctionControls {
    Module& m;
    InputSliderSlot& stepSize() const { return m.inputSliders[0]; }
    InputSliderSlot& input() const { return m.inputSliders[1]; }
};

/// Type 17, Module_ControlPolyphonicator.
struct ControlPolyphonicatorControls {
    Module& m;
    InputSliderSlot& controlInput1() const { return m.inputSliders[0]; }
    InputSliderSlot& controlInput2() const { return m.inputSliders[1]; }
    InputSliderSlot& controlInput3() const { return m.inputSliders[2]; }
    InputSliderSlot& controlInput4() const { return m.inputSliders[3]; }
    InputSliderSlot& controlInput5() const { return m.inputSliders[4]; }
    InputSliderSlot& controlInput6() const { return m.inputSliders[5]; }
    InputSliderSlot& controlInput7() const { return m.inputSliders[6]; }
    InputSliderSlot& controlInput8() const { return m.inputSliders[7]; }
};

/// Type 18, Module_ControlNoteEnvelope.
struct ControlNoteEnvelopeControls {
    Module& m;
    ChoiceSlot& outputMode() const { return m.outputModes[0]; }
    InputSliderSlot& controlAttack() const { return m.inputSliders[1]; }
    InputSliderSlot& controlRatioAttackLevelToVelocity() const { return m.inputSliders[2]; }
    InputSliderSlot& controlDecay() const { return m.inputSliders[3]; }
    InputSliderSlot& controlSustain() const { return m.inputSliders[4]; }
    InputSliderSlot& controlRelease() const { return m.inputSliders[5]; }
    InputSliderSlot& controlSmoothing() const { return m.inputSliders[6]; }
    InputSliderSlot& controlInput() const { return m.inputSliders[0]; }
};

/// Type 19, Module_ControlClosestNote.
struct ControlClosestNoteControls {
    Module& m;
    InputSliderSlot& tuning() const { return m.inputSliders[0]; }
    InputSliderSlot& inputSource() const { return m.inputSliders[1]; }
};

/// Type 20, Module_AudioInput.
struct AudioInputControls {
    Module& m;
    InputSliderSlot& gain() const { return m.inputSliders[0]; }
    DeviceSlot& inputDeviceId() const { return m.soundInputs[0]; }
};

/// Type 21, Module_AudioOutput.
struct AudioOutputControls {
    Module& m;
    DeviceSlot& outputDeviceId() const { return m.soundOutputs[0]; }
    ControlInputSlot& inputModule() const { return m.controlInputs[0]; }
};

/// Type 22, Module_AudioOsc.
struct AudioOscControls {
    Module& m;
    InputSliderSlot& amplitude() const { return m.inputSliders[0]; }
    FrequencySlot& frequency() const { return m.frequencies[0]; }
    InputSliderSlot& noise() const { return m.inputSliders[1]; }
    InputSliderSlot& waveform() const { return m.inputSliders[2]; }
    InputSliderSlot& ramp() const { return m.inputSliders[3]; }
    InputSliderSlot& phase() const { return m.inputSliders[4]; }
    InputSliderSlot& stepSize() const { return m.inputSliders[5]; }
    DeviceSlot& outputDeviceId() const { return m.soundOutputs[0]; }
};

/// Type 23, Module_AudioEcho.
struct AudioEchoControls {
    Module& m;
    InputSliderSlot& interval() const { return m.inputSliders[0]; }
    InputSliderSlot& linger() const { return m.inputSliders[1]; }
    DeviceSlot& outputDeviceId() const { return m.soundOutputs[0]; }
    ControlInputSlot& inputModule() const { return m.controlInputs[0]; }
};

/// Type 24, Module_AudioPitchShift.
struct AudioPitchShiftControls {
    Module& m;
    InputSliderSlot& pitch() const { return m.inputSliders[0]; }
    DeviceSlot& outputDeviceId() const { return m.soundOutputs[0]; }
    ControlInputSlot& inputModule() const { return m.controlInputs[0]; }
};

/// Type 25, Module_AudioOutputSplit.
struct AudioOutputSplitControls {
    Module& m;
    InputSliderSlot& fader() const { return m.inputSliders[0]; }
    DeviceSlot& outputDeviceId1() const { return m.soundOutputs[0]; }
    DeviceSlot& outputDeviceId2() const { return m.soundOutputs[1]; }
    ControlInputSlot& inputModule() const { return m.controlInputs[0]; }
};

/// Type 26, Module_AudioInputCombine.
struct AudioInputCombineControls {
    Module& m;
    InputSliderSlot& fader() const { return m.inputSliders[0]; }
    DeviceSlot& outputDeviceId() const { return m.soundOutputs[0]; }
    ControlInputSlot& inputModule1() const { return m.controlInputs[0]; }
    ControlInputSlot& inputModule2() const { return m.controlInputs[1]; }
};

/// Type 27, Module_AudioMultiDelay.
struct AudioMultiDelayControls {
    Module& m;
    InputSliderSlot& delayControl1() const { return m.inputSliders[0]; }
    InputSliderSlot& delayControl2() const { return m.inputSliders[1]; }
    InputSliderSlot& delayControl3() const { return m.inputSliders[2]; }
    InputSliderSlot& delayControl4() const { return m.inputSliders[3]; }
    InputSliderSlot& delayControl5() const { return m.inputSliders[4]; }
    DeviceSlot& outputDeviceId() const { return m.soundOutputs[0]; }
    ControlInputSlot& inputModule() const { return m.controlInputs[0]; }
};

/// Type 28, Module_AudioDistortion.
struct AudioDistortionControls {
    Module& m;
    InputSliderSlot& overdrive() const { return m.inputSliders[0]; }
    InputSliderSlot& compression() const { return m.inputSliders[1]; }
    InputSliderSlot& compressionWaveform() const { return m.inputSliders[2]; }
    InputSliderSlot& noise() const { return m.inputSliders[3]; }
    InputSliderSlot& noiseFidelity() const { return m.inputSliders[4]; }
    DeviceSlot& outputDeviceId() const { return m.soundOutputs[0]; }
    ControlInputSlot& inputModule() const { return m.controlInputs[0]; }
};

/// Type 29, Module_AudioMutedPluck.
struct AudioMutedPluckControls {
    Module& m;
    InputSliderSlot& note() const { return m.inputSliders[0]; }
    InputSliderSlot& noteVelocity() const { return m.inputSliders[1]; }
    InputSliderSlot& noteLength() const { return m.inputSliders[2]; }
    DeviceSlot& outputDeviceId() const { return m.soundOutputs[0]; }
};

/// Type 30, Module_AudioLowPass.
struct AudioLowPassControls {
    Module& m;
    InputSliderSlot& maxFreq() const { return m.inputSliders[0]; }
    DeviceSlot& outputDeviceId() const { return m.soundOutputs[0]; }
    ControlInputSlot& inputModule() const { return m.controlInputs[0]; }
};

/// Type 31, Module_AudioHighPass.
struct AudioHighPassControls {
    Module& m;
    InputSliderSlot& attenuation() const { return m.inputSliders[0]; }
    DeviceSlot& outputDeviceId() const { return m.soundOutputs[0]; }
    ControlInputSlot& inputModule() const { return m.controlInputs[0]; }
};

/// Type 32, Module_AudioStepFunction.
struct AudioStepFunctionControls {
    Module& m;
    InputSliderSlot& stepSize() const { return m.inputSliders[0]; }
    DeviceSlot& outputDeviceId() const { return m.soundOutputs[0]; }
    ControlInputSlot& inputModule() const { return m.controlInputs[0]; }
};

/// Type 33, Module_AudioWaveWriter.
struct AudioWaveWriterControls {
    Module& m;
    DeviceSlot& outputDeviceId() const { return m.soundOutputs[0]; }
    WaveWriterSlot& filePath() const { return m.waveWriters[0]; }
};

/// Type 34, Module_AudioOutputAnalyser.
struct AudioOutputAnalyserControls {
    Module& m;
    DeviceSlot& outputDeviceId() const { return m.soundOutputs[0]; }
    AnalyserSlot& mode() const { return m.analysers[0]; }
};

} // namespace kv
