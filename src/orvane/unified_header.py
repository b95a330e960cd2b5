"""Engine ids (small stand-in for the package's own module).

An engine id is the text the package gives a model to say which engine runs it.  The
streaming avatar compares it with ``ENGINE_LUMETH2`` and asks ``is_v2_engine`` whether the
engine ends its utterances with ``end_utterance`` and a tail drain.
"""

ENGINE_FERRIN1 = "ferrin1"
ENGINE_FERRIN2_LIGHT = "ferrin2-light"
ENGINE_FERRIN2_GOLDEN = "ferrin2-golden"
ENGINE_FERRIN2_UNIFIED = "ferrin2-unified"
ENGINE_LUMETH2 = "lumeth2"

ENGINE_IDS = frozenset({
    ENGINE_FERRIN1, ENGINE_FERRIN2_LIGHT, ENGINE_FERRIN2_GOLDEN, ENGINE_FERRIN2_UNIFIED, ENGINE_LUMETH2,
})

# The engines that keep the last ticks of an utterance until they are told it has ended:
# the second-generation engines, and lumeth-2, whose host renders the audio after its
# last whole chunk only when it is flushed.
V2_ENGINES = frozenset({ENGINE_FERRIN2_LIGHT, ENGINE_FERRIN2_GOLDEN, ENGINE_FERRIN2_UNIFIED, ENGINE_LUMETH2})


def is_v2_engine(engine_id):
    """True when ``engine_id`` (text, or None for a model without one) is a v2 engine."""
    return engine_id in V2_ENGINES
