"""The f2u engine: ONNX Runtime motion models and the face renderer."""
