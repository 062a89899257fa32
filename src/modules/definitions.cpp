// The built-in definition strings of the 35 module types: the controls of each type's window,
// their configuration keys, defaults and bounds. Each string is its controls joined by "|".
#include "modules/catalogue.h"

namespace kv {
namespace {

// clang-format off
constexpr std::string_view kDefinitions[kTypeCount] = {
    // 0: Module_ControlInput
    "InputSlider,43,0,InputSource,-MS_Offset,InputValue,0,-100,100,%,1,InputControlSensitivity,1,1,,,,1,,",
    // 1: Module_ControlMIDIInput
    "InputSlider,131,0,TransposeControl,-MS_Offset,TransposeValue,0,-48,48,237,0,TransposeControlSensitivity,1,1,,,,1,,|"
    "InputSlider,117,1,TuningControl,-MS_Offset,TuningValue,0,-50,50,238,1,TuningControlSensitivity,1,1,,,,1,,|"
    "MIDIInput,430,0,InputDeviceID,MS_GenericNoSelCode|"
    "CheckBox,306,0,DoReversedNoteOrientation,0,",
    // 2: Module_ControlMIDIControllerInput
    "MIDIInput,430,0,InputDeviceID,0|"
    "MIDISliders,1023,0,0",
    // 3: Module_ControlSensitiser
    "SimpleSlider,55,0,Attack,0,0,MS_GMax,,0|"
    "SimpleSlider,56,1,Decay,0,0,MS_GMax,,0|"
    "InputSlider,57,0,InputSource,CB_ERR,Value_Input,0,0,100,%,1,Sensitivity,1,1,|"
    "CheckBox,116,0,DoFreqMode,0",
    // 4: Module_ControlModulator
    "ModulationEffect,76,0,Effect,FM|"
    "Frequency,77,0,78,,,BaseFrequencyValue,2,FrequencyMultiplierValue,1,,,,True|"
    "InputSlider,110,1,NoiseControl,-MS_Offset,NoiseValue,0,0,100,%,1,NoiseControlSensitivity,1,1,,No,|"
    "InputSlider,111,2,WaveformControl,-MS_Offset,WaveformValue,0,0,300,Sine-Triangle-Square-3Phase,1,WaveformControlSensitivity,1,1,,No,|"
    "InputSlider,168,3,RampControl,-MS_Offset,RampValue,0,-50,50,%,1,RampControlSensitivity,1,1,,No,|"
    "InputSlider,290,4,PhaseControl,-MS_Offset,PhaseValue,0,-50,50,%,1,PhaseControlSensitivity,1,1,,No,|"
    "InputSlider,416,5,StepSizeControl,-MS_Offset,StepSizeValue,0,0,100,%,1,StepSizeControlSensitivity,1,1,,No,|"
    "InputSlider,43,0,InputSource,-MS_Offset,InputValue,0,-100,100,%,1,InputControlSensitivity,1,1,,No,|"
    "CheckBox,307,0,DoLinearInput,0|"
    "CheckBox,243,1,DoSignedOutput,0",
    // 5: Module_ControlEcho
    "CheckBox,116,0,DoFreqMode,0,499|"
    "InputSlider,95,0,IntervalControl,-MS_Offset,IntervalValue,250,1,500,236,0,IntervalControlSensitivity,1,1,,No,,No,DoLongMode|"
    "InputSlider,96,1,LingerControl,-MS_Offset,LingerValue,75,0,100,%,1,LingerControlSensitivity,1,1,,No,,No,|"
    "ControlInput,43,0,InputSource,CB_ERR,1,0,,1",
    // 6: Module_ControlCombine
    "ControlInput,1023,0,InputSource1,CB_ERR,1,0,,1|"
    "ControlInput,1023,1,InputSource2,CB_ERR,1,0,,1|"
    "ControlInput,1023,2,InputSource3,CB_ERR,1,0,,1|"
    "ControlInput,1023,3,InputSource4,CB_ERR,1,0,,1|"
    "ControlInput,1023,4,InputSource5,CB_ERR,1,0,,1",
    // 7: Module_ControlRange
    "ProportionFlipper,105,1,OutputUpperLimit,100,OutputLowerLimit,-100,-200,200,%,0|"
    "ProportionFlipper,104,0,InputUpperLimit,100,InputLowerLimit,-100,-200,200,%,0|"
    "CheckBox,106,0,DoKeepInRange,0|"
    "InputSlider,43,0,InputSource,CB_ERR,Value_Input,0,-100,100,%,1,Control_Sensitivity_Input,1,1,",
    // 8: Module_ControlOffset
    "InputSlider,253,1,OffsetControl,-MS_Offset,OffsetValue,0,-200,200,%,0,OffsetControlSensitivity,1,1,,,,,,|"
    "InputSlider,43,0,InputSource,CB_ERR,InputValue,0,-100,100,%,0,InputControlSensitivity,1,1,,,,,,",
    // 9: Module_ControlGain
    "InputSlider,256,1,GainControl,-MS_Offset,GainValue,100,0,1000,%,0,GainControlSensitivity,1,1,,,,,,|"
    "InputSlider,43,0,InputSource,CB_ERR,InputValue,0,-100,100,%,0,InputControlSensitivity,1,1,,,,,,",
    // 10: Module_ControlSequence
    "InputSlider,259,0,BPMControl,-MS_Offset,BPMValue,128,-1200,1200,BPM,0,BPMControlSensitivity,1,1,|"
    "InputSlider,260,1,NoteLengthControl,-MS_Offset,NoteLengthValue,250,0,1000,236,0,NoteLengthControlSensitivity,1,1,,,,,DoNoteLengthLongMode,1|"
    "InputSlider,261,2,NoteVelocityControl,-MS_Offset,NoteVelocityValue,127,0,127,,0,NoteVelocityControlSensitivity,1,1,|"
    "InputSlider,131,3,TransposeControl,-MS_Offset,TransposeValue,0,-48,48,237,0,TransposeControlSensitivity,1,1,|"
    "InputSlider,117,4,TuningControl,-MS_Offset,TuningValue,0,-50,50,238,0,TuningControlSensitivity,1,1,|"
    "Sequence,262,0,0|"
    "MIDIInput,292,0,RecordingSourceID,0",
    // 11: Module_ControlSensor
    "Sensor,1023,0,AngleValue,0|"
    "CheckBox,274,0,DoSignedOutput,0",
    // 12: Module_ControlNoteCombine
    "CheckBox,277,0,DoSustain,0,|"
    "InputSlider,43,0,InputSource,-MS_Offset,InputValue,0,-100,100,%,0,InputControlSensitivity,1,1,,,,,,",
    // 13: Module_ControlLowCut
    "InputSlider,278,1,LowCutFreqControl,-MS_Offset,LowCutFreqValue,120,0,500,239,0,LowCutFreqControlSensitivity,1,1,,,,,,|"
    "InputSlider,43,0,InputSource,CB_ERR,InputValue,440,0,24000,239,0,InputControlSensitivity,1,1,,,,,,",
    // 14: Module_ControlNoteRetard
    "InputSlider,281,1,RetardationControl,-MS_Offset,RetardationValue,50,0,100,%,1,RetardationControlSensitivity,1,1,,,,,,|"
    "InputSlider,284,2,RetardationSourceControl,CB_ERR,RetardationSourceValue,0,0,24000,239,0,RetardationSourceControlSensitivity,1,1,285,,,,,|"
    "InputSlider,43,0,InputSource,CB_ERR,InputValue,440,0,24000,239,0,InputControlSensitivity,1,1,,,,,,",
    // 15: Module_ControlNeuron
    "InputSlider,405,0,InputOutputRatioControl,-MS_Offset,InputOutputRatioValue,100,-1000,1000,%,0,InputOutputRatioControlSensitivity,1,1,,No,,Yes|"
    "InputSlider,404,1,DischargeRateControl,-MS_Offset,DischargeRateValue,1,0,100,449,1,DischargeRateControlSensitivity,1,1,,No,|"
    "InputSlider,403,2,ThresholdControl,-MS_Offset,ThresholdValue,1000,-10000,10000,X,0,ThresholdControlSensitivity,1,1,,No,|"
    "InputSlider,402,3,LeakthroughControl,-MS_Offset,LeakthroughValue,0,0,100,449,1,LeakthroughControlSensitivity,1,1,,No,|"
    "InputSlider,401,4,LeakageControl,-MS_Offset,LeakageValue,0,0,100,449,1,LeakageControlSensitivity,1,1,,No,|"
    "InputSlider,1023,5,Dendrite0Control,-MS_Offset,Dendrite0Value,150,-200,200,%,0,Dendrite0ControlSensitivity,1,1,,No,,Yes|"
    "InputSlider,1023,6,Dendrite1Control,-MS_Offset,Dendrite1Value,0,-200,200,%,0,Dendrite1ControlSensitivity,1,1,,No,,Yes|"
    "InputSlider,1023,7,Dendrite2Control,-MS_Offset,Dendrite2Value,0,-200,200,%,0,Dendrite2ControlSensitivity,1,1,,No,,Yes|"
    "InputSlider,1023,8,Dendrite3Control,-MS_Offset,Dendrite3Value,0,-200,200,%,0,Dendrite3ControlSensitivity,1,1,,No,,Yes|"
    "InputSlider,400,9,Dendrite4Control,-MS_Offset,Dendrite4Value,0,-200,200,%,0,Dendrite4ControlSensitivity,1,1,,No,,Yes|"
    "CheckBox,409,0,DoMakeAllInputsPositive,1",
    // 16: Module_ControlStepFunction
    "InputSlider,411,0,StepSizeControl,-MS_Offset,StepSizeValue,0,0,100,%,1,StepSizeControlSensitivity,1,1,,,,,|"
    "InputSlider,43,1,InputControl,-MS_Offset,InputValue,0,-100,100,%,1,InputControlSensitivity,1,1,,,,,",
    // 17: Module_ControlPolyphonicator
    "InputSlider,421,0,Control_Input1,CB_ERR,Value_Input1,0,0,100,%,1,Control_Sensitivity_Input1,1,1,,1,Velocity_Input1|"
    "InputSlider,421,1,Control_Input2,CB_ERR,Value_Input2,0,0,100,%,1,Control_Sensitivity_Input2,1,1,,1,Velocity_Input2|"
    "InputSlider,421,2,Control_Input3,CB_ERR,Value_Input3,0,0,100,%,1,Control_Sensitivity_Input3,1,1,,1,Velocity_Input3|"
    "InputSlider,421,3,Control_Input4,CB_ERR,Value_Input4,0,0,100,%,1,Control_Sensitivity_Input4,1,1,,1,Velocity_Input4|"
    "InputSlider,421,4,Control_Input5,CB_ERR,Value_Input5,0,0,100,%,1,Control_Sensitivity_Input5,1,1,,1,Velocity_Input5|"
    "InputSlider,421,5,Control_Input6,CB_ERR,Value_Input6,0,0,100,%,1,Control_Sensitivity_Input6,1,1,,1,Velocity_Input6|"
    "InputSlider,421,6,Control_Input7,CB_ERR,Value_Input7,0,0,100,%,1,Control_Sensitivity_Input7,1,1,,1,Velocity_Input7|"
    "InputSlider,421,7,Control_Input8,CB_ERR,Value_Input8,0,0,100,%,1,Control_Sensitivity_Input8,1,1,,1,Velocity_Input8",
    // 18: Module_ControlNoteEnvelope
    "OutputMode,76,0,OutputMode,Modify Velocity|"
    "InputSlider,432,1,Control_Attack,-MS_Offset,Value_Attack,50,0,1000,236,0,Control_Sensitivity_Attack,1,1,,,,,DoLongAttack,1|"
    "InputSlider,439,2,Control_Ratio_AttackLevelToVelocity,-MS_Offset,Value_Ratio_AttackLevelToVelocity,100,0,1000,%,0,Control_Sensitivity_Ratio_AttackLevelToVelocity,1,1,,,,,,|"
    "InputSlider,433,3,Control_Decay,-MS_Offset,Value_Decay,50,0,1000,236,0,Control_Sensitivity_Decay,1,1,,DoVelocity,VelocityKVCName,DoReversibleGain,DoLongDecay,1|"
    "InputSlider,434,4,Control_Sustain,-MS_Offset,Value_Sustain,50,0,100,%,1,Control_Sensitivity_Sustain,1,1,,,,,,|"
    "InputSlider,435,5,Control_Release,-MS_Offset,Value_Release,200,0,1000,236,0,Control_Sensitivity_Release,1,1,,,,,DoLongRelease,1|"
    "InputSlider,436,6,Control_Smoothing,-MS_Offset,Value_Smoothing,10,0,10000,449,0,Control_Sensitivity_Smoothing,1,1,,,,,,|"
    "InputSlider,43,0,Control_Input,CB_ERR,Value_Input,0,0,100,%,1,Control_Sensitivity_Input,1,1,,Yes,Control_Velocity_Input,,,",
    // 19: Module_ControlClosestNote
    "InputSlider,117,0,TuningControl,-MS_Offset,TuningValue,0,-50,50,238,0,TuningControlSensitivity,1,1,,,,,,|"
    "InputSlider,43,1,InputSource,CB_ERR,Value_Input,0,0,100,%,1,Control_Sensitivity_Input,1,1,,,,,,",
    // 20: Module_AudioInput
    "InputSlider,123,0,GainControl,-MS_Offset,GainValue,100,0,1000,%,0,GainControlSensitivity,1,1,,No,|"
    "SoundInput,112,0,InputDeviceID,WAVE_MAPPER",
    // 21: Module_AudioOutput
    "SoundOutput,89,0,OutputDeviceID,WAVE_MAPPER|"
    "ControlInput,57,0,InputModule,CB_ERR,1,0,,0",
    // 22: Module_AudioOsc
    "InputSlider,85,0,AmplitudeControl,-MS_Offset,AmplitudeValue,50,0,100,%,0,AmplitudeControlSensitivity,1,1,|"
    "Frequency,83,0,84,FrequencyControl,-MS_Offset,BaseFrequencyValue,4.4,FrequencyMultiplierValue,100,FrequencyControlSensitivity,1,|"
    "InputSlider,110,1,NoiseControl,-MS_Offset,NoiseValue,0,0,100,%,1,NoiseControlSensitivity,1,1,|"
    "InputSlider,111,2,WaveformControl,-MS_Offset,WaveformValue,0,0,300,Sine-Triangle-Square-3Phase,1,WaveformControlSensitivity,1,1,|"
    "InputSlider,168,3,RampControl,-MS_Offset,RampValue,0,-50,50,%,1,RampControlSensitivity,1,1,|"
    "InputSlider,290,4,PhaseControl,-MS_Offset,PhaseValue,0,-50,50,%,1,PhaseControlSensitivity,1,1,|"
    "InputSlider,416,5,StepSizeControl,-MS_Offset,StepSizeValue,0,0,100,%,1,StepSizeControlSensitivity,1,1,|"
    "SoundOutput,89,0,OutputDeviceID,WAVE_MAPPER",
    // 23: Module_AudioEcho
    "InputSlider,95,0,IntervalControl,-MS_Offset,IntervalValue,250,1,1000,236,0,IntervalControlSensitivity,1,1,,No,,No,DoLongMode|"
    "InputSlider,96,1,LingerControl,-MS_Offset,LingerValue,75,0,100,%,1,LingerControlSensitivity,1,1,,No,,No,|"
    "SoundOutput,89,0,OutputDeviceID,WAVE_MAPPER|"
    "ControlInput,57,0,InputModule,CB_ERR,1,0,,0",
    // 24: Module_AudioPitchShift
    "InputSlider,127,0,PitchControl,-MS_Offset,PitchValue,100,10,1000,%,0,PitchControlSensitivity,1,1,,,,,|"
    "SoundOutput,89,0,OutputDeviceID,WAVE_MAPPER|"
    "ControlInput,57,0,InputModule,CB_ERR,1,0,,0",
    // 25: Module_AudioOutputSplit
    "InputSlider,133,0,FaderControl,-MS_Offset,FaderValue,0,-100,100,%,0,FaderControlSensitivity,1,1,|"
    "SoundOutput,232,0,OutputDeviceID1,WAVE_MAPPER|"
    "SoundOutput,233,1,OutputDeviceID2,WAVE_MAPPER|"
    "ControlInput,57,0,InputModule,CB_ERR,1,0,,0",
    // 26: Module_AudioInputCombine
    "InputSlider,133,0,FaderControl,-MS_Offset,FaderValue,0,-100,100,%,1,FaderControlSensitivity,1,1,,,,,,|"
    "SoundOutput,89,0,OutputDeviceID,WAVE_MAPPER|"
    "ControlInput,136,0,InputModule1,CB_ERR,1,0,,0|"
    "ControlInput,139,1,InputModule2,CB_ERR,1,0,,0",
    // 27: Module_AudioMultiDelay
    "InputSlider,140,0,DelayControl1,-MS_Offset,DelayValue1,100,1,10000,236,0,DelayControlSensitivity1,1,1,,,,,|"
    "InputSlider,140,1,DelayControl2,-MS_Offset,DelayValue2,200,1,10000,236,0,DelayControlSensitivity2,1,1,,,,,|"
    "InputSlider,140,2,DelayControl3,-MS_Offset,DelayValue3,300,1,10000,236,0,DelayControlSensitivity3,1,1,,,,,|"
    "InputSlider,140,3,DelayControl4,-MS_Offset,DelayValue4,400,1,10000,236,0,DelayControlSensitivity4,1,1,,,,,|"
    "InputSlider,140,4,DelayControl5,-MS_Offset,DelayValue5,500,1,10000,236,0,DelayControlSensitivity5,1,1,,,,,|"
    "SoundOutput,89,0,OutputDeviceID,WAVE_MAPPER|"
    "ControlInput,57,0,InputModule,CB_ERR,1,0,,0",
    // 28: Module_AudioDistortion
    "InputSlider,162,0,OverdriveControl,-MS_Offset,OverdriveValue,100,1,1000,%,0,OverdriveControlSensitivity,1,1,,,,,,|"
    "InputSlider,163,1,CompressionControl,-MS_Offset,CompressionValue,0,-100,100,%,0,CompressionControlSensitivity,1,1,,,,,,|"
    "InputSlider,164,2,CompressionWaveformControl,-MS_Offset,CompressionWaveformValue,-100,-100,100,%,0,CompressionWaveformControlSensitivity,1,1,,,,,,|"
    "InputSlider,110,3,NoiseControl,-MS_Offset,NoiseValue,0,0,100,%,1,NoiseControlSensitivity,1,1,,,,,,|"
    "InputSlider,165,4,NoiseFidelityControl,-MS_Offset,NoiseFidelityValue,0,0,100,%,0,NoiseFidelityControlSensitivity,1,1,,,,,,|"
    "SoundOutput,89,0,OutputDeviceID,WAVE_MAPPER|"
    "ControlInput,57,0,InputModule,CB_ERR,1,0,,0",
    // 29: Module_AudioMutedPluck
    "InputSlider,267,0,NoteControl,CB_ERR,,,,,,,NoteControlSensitivity,1,0,,,,,|"
    "InputSlider,261,1,NoteVelocityControl,-MS_Offset,NoteVelocityValue,64,0,127,,1,NoteVelocityControlSensitivity,1,1,,,,,|"
    "InputSlider,260,2,NoteLengthControl,-MS_Offset,NoteLengthValue,250,0,1000,236,0,NoteLengthControlSensitivity,1,1,,,,,DoLongMode,1|"
    "SoundOutput,89,0,OutputDeviceID,WAVE_MAPPER",
    // 30: Module_AudioLowPass
    "InputSlider,295,0,MaxFreqControl,-MS_Offset,MaxFreqValue,100,0,100,%,1,MaxFreqControlSensitivity,0,1,,,,,|"
    "SoundOutput,89,0,OutputDeviceID,WAVE_MAPPER|"
    "ControlInput,57,0,InputModule,CB_ERR,1,0,,0",
    // 31: Module_AudioHighPass
    "InputSlider,298,0,AttenuationControl,-MS_Offset,AttenuationValue,0,0,100,%,1,AttenuationControlSensitivity,0,1,,,,,|"
    "SoundOutput,89,0,OutputDeviceID,WAVE_MAPPER|"
    "ControlInput,57,0,InputModule,CB_ERR,1,0,,0",
    // 32: Module_AudioStepFunction
    "InputSlider,411,0,StepSizeControl,-MS_Offset,StepSizeValue,0,0,100,%,1,StepSizeControlSensitivity,1,1,,,,,|"
    "SoundOutput,89,0,OutputDeviceID,WAVE_MAPPER|"
    "ControlInput,57,0,InputModule,CB_ERR,1,0,,0",
    // 33: Module_AudioWaveWriter
    "SoundOutput,89,0,OutputDeviceID,WAVE_MAPPER|"
    "WaveWriter,1023,0,0,FilePath,,DoAppend,1,IsRecording,0",
    // 34: Module_AudioOutputAnalyser
    "SoundOutput,89,0,OutputDeviceID,WAVE_MAPPER|"
    "Analyser,1023,0,0,Mode,1",
};
// clang-format on

} // namespace

std::string_view definitionString(int type) {
    if (type < 0 || type >= kTypeCount) return {};
    return kDefinitions[type];
}

} // namespace kv
