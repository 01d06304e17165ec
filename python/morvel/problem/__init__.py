"""The problem a search solves: the model's feature schema, the user's rules compiled
against it, the target window, the distance model and what is derived once per
Explainer."""
