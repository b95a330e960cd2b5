"""The lumeth-2 engine: LiteRT model chain and the render-stream host."""
